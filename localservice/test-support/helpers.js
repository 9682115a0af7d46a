'use strict';

const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const https = require('node:https');
const { io } = require('socket.io-client');

const ROOT = path.resolve(__dirname, '..');

const made = [];
process.on('exit', () => {
  for (const dir of made) fs.rmSync(dir, { recursive: true, force: true });
});

/** A temporary folder removed when the test process exits. */
function tempDir(prefix) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  made.push(dir);
  return dir;
}

/** Fresh development certificates in a temporary folder. */
function makeCerts(dir = tempDir('tovik-certs-')) {
  execFileSync(path.join(ROOT, 'make-certs.sh'), [dir], { stdio: ['ignore', 'ignore', 'pipe'] });
  return dir;
}

const SESSIONS = { u1: 'tok-u1', u2: 'tok-u2', u3: 'tok-u3', u4: 'tok-u4' };

/**
 * Starts server.js as a child process on a free port and resolves once it
 * prints its "listening on" line. The returned object stops it again.
 */
async function startServer({ certs, args = [], sessions = true, env, timeoutMs = 10000 } = {}) {
  const certsDir = certs || makeCerts();
  const sessionArgs = sessions ? Object.entries(SESSIONS).flatMap(([u, t]) => ['--session', `${u}:${t}`]) : [];
  const child = spawn(process.execPath, [path.join(ROOT, 'server.js'), '--port', '0', '--certs', certsDir, ...sessionArgs, ...args], {
    stdio: ['ignore', 'pipe', 'pipe'],
    env: { ...process.env, ...env },
  });
  let stdout = '';
  let stderr = '';
  child.stderr.on('data', (d) => { stderr += d; });
  const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
  const port = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`server did not start in time: ${stderr}`));
    }, timeoutMs);
    child.stdout.on('data', (d) => {
      stdout += d;
      const m = /^listening on https:\/\/127\.0\.0\.1:(\d+)\n/.exec(stdout);
      if (m) {
        clearTimeout(timer);
        resolve(Number(m[1]));
      }
    });
    exited.then(({ code }) => {
      clearTimeout(timer);
      reject(new Error(`server exited with ${code}: ${stderr}`));
    });
  });
  const ca = fs.readFileSync(path.join(certsDir, 'ca.pem'));
  const server = {
    port,
    ca,
    certsDir,
    child,
    exited,
    output: () => ({ stdout, stderr }),
    origin: `https://127.0.0.1:${port}`,
    request: (method, urlPath, opts) => request(server, method, urlPath, opts),
    async stop() {
      if (child.exitCode === null && child.signalCode === null) {
        child.kill('SIGTERM');
        const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
        await exited;
        clearTimeout(timer);
      }
      return exited;
    },
  };
  return server;
}

/**
 * One HTTPS request against the server. `body` may be a Buffer/string, an
 * object (sent as JSON) or a function receiving the request stream.
 */
function request(server, method, urlPath, { headers = {}, body, token, cookie, timeoutMs = 20000 } = {}) {
  return new Promise((resolve, reject) => {
    const allHeaders = { ...headers };
    const cookies = [];
    if (token) cookies.push(`tovik_web_session=${token}`);
    if (cookie) cookies.push(cookie);
    if (cookies.length) allHeaders.Cookie = cookies.join('; ');
    let payload = null;
    if (body !== undefined && typeof body !== 'function') {
      if (Buffer.isBuffer(body) || typeof body === 'string') {
        payload = Buffer.from(body);
      } else {
        payload = Buffer.from(JSON.stringify(body));
        allHeaders['Content-Type'] ??= 'application/json';
      }
      allHeaders['Content-Length'] = payload.length;
    }
    const req = https.request({
      host: '127.0.0.1',
      servername: 'localhost',
      port: server.port,
      method,
      path: urlPath,
      headers: allHeaders,
      ca: server.ca,
      agent: false,
    }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => {
        clearTimeout(timer);
        const raw = Buffer.concat(chunks);
        let json = null;
        if (String(res.headers['content-type']).startsWith('application/json')) {
          try { json = JSON.parse(raw.toString('utf8')); } catch { json = null; }
        }
        resolve({ status: res.statusCode, headers: res.headers, raw, text: raw.toString('utf8'), json });
      });
      res.on('error', reject);
    });
    const timer = setTimeout(() => req.destroy(new Error(`${method} ${urlPath} timed out`)), timeoutMs);
    req.on('error', (err) => {
      clearTimeout(timer);
      reject(err);
    });
    if (typeof body === 'function') body(req);
    else req.end(payload);
  });
}

function cookieValue(setCookie, name) {
  for (const line of [].concat(setCookie || [])) {
    const m = new RegExp(`^${name}=([^;]*)`).exec(line);
    if (m) return { value: m[1], line };
  }
  return null;
}

/** A socket.io client that does not reconnect on its own. */
function connect(server, { userId, token = SESSIONS[userId], auth, query } = {}) {
  return io(server.origin, {
    path: '/socket.io/',
    transports: ['websocket'],
    ca: server.ca,
    reconnection: false,
    forceNew: true,
    timeout: 5000,
    auth: auth ?? { token },
    query: query ?? { userId },
  });
}

function once(emitter, event, timeoutMs = 3000) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      emitter.off(event, on);
      reject(new Error(`no "${event}" within ${timeoutMs} ms`));
    }, timeoutMs);
    function on(value) {
      clearTimeout(timer);
      resolve(value);
    }
    emitter.once(event, on);
  });
}

/** Resolves once a connected socket or rejects with the connect_error. */
async function connected(server, opts) {
  const socket = connect(server, opts);
  await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('connect timed out')), 5000);
    socket.once('connect', () => { clearTimeout(timer); resolve(); });
    socket.once('connect_error', (err) => { clearTimeout(timer); socket.close(); reject(err); });
  });
  return socket;
}

/**
 * Collects every event a socket receives so that tests can wait for the next
 * matching one, or assert that nothing arrived.
 */
function recorder(socket) {
  const seen = [];
  const waiters = [];
  socket.onAny((event, payload) => {
    seen.push({ event, payload });
    for (const w of [...waiters]) {
      if (w.event === event && w.filter(payload)) {
        waiters.splice(waiters.indexOf(w), 1);
        clearTimeout(w.timer);
        w.resolve(payload);
      }
    }
  });
  return {
    seen,
    of: (event) => seen.filter((s) => s.event === event).map((s) => s.payload),
    clear: () => { seen.length = 0; },
    next(event, filter = () => true, timeoutMs = 3000) {
      return new Promise((resolve, reject) => {
        const w = { event, filter, resolve };
        w.timer = setTimeout(() => {
          waiters.splice(waiters.indexOf(w), 1);
          reject(new Error(`no matching "${event}" within ${timeoutMs} ms`));
        }, timeoutMs);
        waiters.push(w);
      });
    },
    /**
     * Round trip through the server on this socket: anything the server sent
     * to it before handling this ping has arrived once the pong is here.
     */
    async barrier() {
      const sentAt = `barrier-${Math.random()}`;
      const pong = this.next('native_call_pong', (p) => p.sentAt === sentAt);
      socket.emit('native_call', { action: 'ping', sentAt });
      await pong;
    },
  };
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

module.exports = {
  ROOT, SESSIONS, tempDir, makeCerts, startServer, request, cookieValue, connect, connected, once, recorder, sleep,
};
