'use strict';

const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const https = require('node:https');
const assert = require('node:assert/strict');
const { io } = require('socket.io-client');

const ROOT = path.resolve(__dirname, '..');
const SESSIONS = { u1: 'tok-u1', u2: 'tok-u2', u3: 'tok-u3', u4: 'tok-u4' };
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const made = [];
process.on('exit', () => made.forEach((dir) => fs.rmSync(dir, { recursive: true, force: true })));
/** A temporary folder removed when the test process exits. */
const tempDir = (prefix) => made[made.push(fs.mkdtempSync(path.join(os.tmpdir(), prefix))) - 1];

const makeCerts = (dir = tempDir('tovik-certs-')) => (execFileSync(path.join(ROOT, 'make-certs.sh'), [dir], { stdio: ['ignore', 'ignore', 'pipe'] }), dir);

/** What `check` returns once it is truthy, polled every 10 ms for `timeoutMs` at most. */
async function waitFor(check, timeoutMs = 2000) {
  let got = await check();
  for (let i = 0; i < timeoutMs / 10 && !got; i++) got = await sleep(10).then(check);
  return got;
}

/** The first `event` from `emitter`; rejects after `timeoutMs`, or at once when `failOn` comes first. */
const once = (emitter, event, timeoutMs = 3000, failOn) => new Promise((resolve, reject) => {
  const timer = setTimeout(() => reject(new Error(`no "${event}" within ${timeoutMs} ms`)), timeoutMs);
  emitter.once(event, (value) => { clearTimeout(timer); resolve(value); });
  if (failOn) emitter.once(failOn, (err) => { clearTimeout(timer); reject(err); });
});

/** server.js on a free port with a session per seed user; resolves once it listens. */
async function startServer({ certs = makeCerts(), args = [], env } = {}) {
  const sessionArgs = Object.entries(SESSIONS).flatMap(([u, t]) => ['--session', `${u}:${t}`]);
  const child = spawn(process.execPath, [path.join(ROOT, 'server.js'), '--port', '0', '--certs', certs, ...sessionArgs, ...args],
    { stdio: ['ignore', 'pipe', 'pipe'], env: { ...process.env, ...env } });
  const [out, exited] = [{ stdout: '', stderr: '' }, new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })))];
  ['stdout', 'stderr'].forEach((s) => child[s].on('data', (d) => { out[s] += d; }));
  // Only a bound against a hang: a busy machine (and Node 18) can take long to start.
  const listening = await waitFor(() => /^listening on https:\/\/127\.0\.0\.1:(\d+)\n/.exec(out.stdout) || child.exitCode !== null, 60000);
  const port = Array.isArray(listening) ? Number(listening[1]) : (child.kill('SIGKILL'), assert.fail(`no start: ${out.stderr}`));
  const server = { port, child, exited, out, certs, ca: fs.readFileSync(path.join(certs, 'ca.pem')), origin: `https://127.0.0.1:${port}`,
    request: (method, urlPath, opts) => request(server, method, urlPath, opts),
    stop: () => { // kill() is a no-op once it has exited
      const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
      child.kill('SIGTERM');
      return exited.then(() => clearTimeout(timer));
    } };
  return server;
}

/** `body`: Buffer/string, an object (sent as JSON) or a function writing to the request. */
function request(server, method, urlPath, { headers = {}, body, token, cookie, timeoutMs = 20000 } = {}) {
  return new Promise((resolve, reject) => {
    const cookies = [token && `tovik_web_session=${token}`, cookie].filter(Boolean);
    const all = cookies.length ? { ...headers, Cookie: cookies.join('; ') } : { ...headers };
    const payload = body === undefined || typeof body === 'function' ? null : Buffer.from(typeof body === 'object' && !Buffer.isBuffer(body) ? JSON.stringify(body) : body);
    if (payload) all['Content-Length'] = payload.length;
    const req = https.request({ host: '127.0.0.1', servername: 'localhost', port: server.port, method, path: urlPath, headers: all, ca: server.ca, agent: false }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c)).on('error', reject).on('end', () => {
        const raw = Buffer.concat(chunks);
        resolve({ status: res.statusCode, headers: res.headers, raw, text: raw.toString(),
          get json() { return String(res.headers['content-type']).startsWith('application/json') ? JSON.parse(raw) : null; } });
      });
    });
    req.setTimeout(timeoutMs, () => req.destroy(new Error(`${method} ${urlPath} timed out`))).on('error', reject);
    if (typeof body === 'function') body(req);
    else req.end(payload);
  });
}

const cookieValue = (setCookie, name) => [].concat(setCookie || []).filter((l) => l.startsWith(`${name}=`))
  .map((l) => ({ value: l.slice(name.length + 1).split(';')[0], attrs: l.split('; ').slice(1) }))[0] || null;

const connect = (server, { userId, token = SESSIONS[userId], auth = { token }, query = { userId } } = {}) => io(server.origin,
  { transports: ['websocket'], ca: server.ca, reconnection: false, forceNew: true, timeout: 5000, auth, query });

/** Records what a socket receives; `next` waits for the first matching event from now on. */
function recorder(socket) {
  const seen = [];
  socket.onAny((event, payload) => seen.push({ event, payload }));
  const rec = {
    seen,
    of: (event) => seen.filter((s) => s.event === event).map((s) => s.payload),
    async next(event, filter = () => true, timeoutMs = 3000) {
      const from = seen.length;
      const hit = await waitFor(() => seen.slice(from).find((s) => s.event === event && filter(s.payload)), timeoutMs);
      return hit ? hit.payload : assert.fail(`no matching "${event}"`);
    },
    /** After the pong, everything the server sent this socket before the ping has arrived. */
    barrier: (sentAt = `barrier-${Math.random()}`) => Promise.all([rec.next('native_call_pong', (p) => p.sentAt === sentAt),
      socket.emit('native_call', { action: 'ping', sentAt })]),
  };
  return rec;
}

module.exports = { ROOT, SESSIONS, sleep, waitFor, tempDir, makeCerts, startServer, cookieValue, connect, once, recorder };
