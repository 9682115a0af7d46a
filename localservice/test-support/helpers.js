'use strict';

const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const https = require('node:https');
const { io } = require('socket.io-client');

const ROOT = path.resolve(__dirname, '..');
const SESSIONS = { u1: 'tok-u1', u2: 'tok-u2', u3: 'tok-u3', u4: 'tok-u4' };
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

const made = [];
process.on('exit', () => made.forEach((dir) => fs.rmSync(dir, { recursive: true, force: true })));

/** A temporary folder removed when the test process exits. */
function tempDir(prefix) {
  made.push(fs.mkdtempSync(path.join(os.tmpdir(), prefix)));
  return made[made.length - 1];
}

function makeCerts(dir = tempDir('tovik-certs-')) {
  execFileSync(path.join(ROOT, 'make-certs.sh'), [dir], { stdio: ['ignore', 'ignore', 'pipe'] });
  return dir;
}

/** server.js on a free port with a session per seed user; resolves once it listens. */
async function startServer({ certs = makeCerts(), args = [], sessions = true, env } = {}) {
  const sessionArgs = sessions ? Object.entries(SESSIONS).flatMap(([u, t]) => ['--session', `${u}:${t}`]) : [];
  const child = spawn(process.execPath, [path.join(ROOT, 'server.js'), '--port', '0', '--certs', certs, ...sessionArgs, ...args], {
    stdio: ['ignore', 'pipe', 'pipe'], env: { ...process.env, ...env },
  });
  const out = { stdout: '', stderr: '' };
  child.stderr.on('data', (d) => { out.stderr += d; });
  const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
  const port = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => { child.kill('SIGKILL'); reject(new Error(`no start: ${out.stderr}`)); }, 15000);
    child.stdout.on('data', (d) => {
      out.stdout += d;
      const m = /^listening on https:\/\/127\.0\.0\.1:(\d+)\n/.exec(out.stdout);
      if (m) { clearTimeout(timer); resolve(Number(m[1])); }
    });
    exited.then(({ code }) => { clearTimeout(timer); reject(new Error(`exited ${code}: ${out.stderr}`)); });
  });
  const server = {
    port, child, exited, out, certs,
    ca: fs.readFileSync(path.join(certs, 'ca.pem')),
    origin: `https://127.0.0.1:${port}`,
    request: (method, urlPath, opts) => request(server, method, urlPath, opts),
    async stop() {
      if (child.exitCode === null && child.signalCode === null) {
        child.kill('SIGTERM');
        const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
        await exited;
        clearTimeout(timer);
      }
    },
  };
  return server;
}

/** `body`: Buffer/string, an object (sent as JSON) or a function writing to the request. */
function request(server, method, urlPath, { headers = {}, body, token, cookie, timeoutMs = 20000 } = {}) {
  return new Promise((resolve, reject) => {
    const all = { ...headers };
    const cookies = [token && `tovik_web_session=${token}`, cookie].filter(Boolean);
    if (cookies.length) all.Cookie = cookies.join('; ');
    let payload = null;
    if (body !== undefined && typeof body !== 'function') {
      payload = Buffer.isBuffer(body) || typeof body === 'string' ? Buffer.from(body) : Buffer.from(JSON.stringify(body));
      all['Content-Length'] = payload.length;
    }
    const req = https.request({
      host: '127.0.0.1', servername: 'localhost', port: server.port, method, path: urlPath, headers: all, ca: server.ca, agent: false,
    }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => {
        clearTimeout(timer);
        const raw = Buffer.concat(chunks);
        let json = null;
        try {
          if (String(res.headers['content-type']).startsWith('application/json')) json = JSON.parse(raw);
        } catch (err) {
          reject(err);
        }
        resolve({ status: res.statusCode, headers: res.headers, raw, text: raw.toString(), json });
      });
    });
    const timer = setTimeout(() => req.destroy(new Error(`${method} ${urlPath} timed out`)), timeoutMs);
    req.on('error', (err) => { clearTimeout(timer); reject(err); });
    if (typeof body === 'function') body(req);
    else req.end(payload);
  });
}

function cookieValue(setCookie, name) {
  const line = [].concat(setCookie || []).find((l) => l.startsWith(`${name}=`));
  return line ? { value: line.slice(name.length + 1).split(';')[0], attrs: line.split('; ').slice(1) } : null;
}

function connect(server, { userId, token = SESSIONS[userId], auth = { token }, query = { userId } } = {}) {
  return io(server.origin, {
    transports: ['websocket'], ca: server.ca, reconnection: false, forceNew: true, timeout: 5000, auth, query,
  });
}

function once(emitter, event, timeoutMs = 3000) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no "${event}" within ${timeoutMs} ms`)), timeoutMs);
    emitter.once(event, (value) => { clearTimeout(timer); resolve(value); });
  });
}

function connected(server, opts) {
  const socket = connect(server, opts);
  return new Promise((resolve, reject) => {
    socket.once('connect', () => resolve(socket));
    socket.once('connect_error', (err) => { socket.close(); reject(err); });
  });
}

/** Records what a socket receives; `next` waits for a matching event. */
function recorder(socket) {
  const seen = [];
  const waiters = new Set();
  socket.onAny((event, payload) => {
    seen.push({ event, payload });
    for (const w of waiters) {
      if (w.event === event && w.filter(payload)) { waiters.delete(w); clearTimeout(w.timer); w.resolve(payload); }
    }
  });
  return {
    seen,
    of: (event) => seen.filter((s) => s.event === event).map((s) => s.payload),
    next(event, filter = () => true, timeoutMs = 3000) {
      return new Promise((resolve, reject) => {
        const w = { event, filter, resolve };
        w.timer = setTimeout(() => { waiters.delete(w); reject(new Error(`no matching "${event}"`)); }, timeoutMs);
        waiters.add(w);
      });
    },
    /** After the pong, everything the server sent this socket before the ping has arrived. */
    async barrier() {
      const sentAt = `barrier-${Math.random()}`;
      const pong = this.next('native_call_pong', (p) => p.sentAt === sentAt);
      socket.emit('native_call', { action: 'ping', sentAt });
      await pong;
    },
  };
}

module.exports = {
  ROOT, SESSIONS, sleep, tempDir, makeCerts, startServer, request, cookieValue, connect, connected, once, recorder,
};
