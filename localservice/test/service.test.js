'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const tls = require('node:tls');
const {
  ROOT, SESSIONS, makeCerts, startServer, tempDir,
} = require('../test-support/helpers');

let certs;
let server;

before(async () => {
  certs = makeCerts();
  server = await startServer({ certs, args: ['--big-chat-messages', '3'] });
});
after(() => server && server.stop());

/** Runs server.js expecting it to refuse to start. */
function refuse(args, timeoutMs = 10000) {
  return new Promise((resolve, reject) => {
    const child = spawn(process.execPath, [path.join(ROOT, 'server.js'), ...args], { stdio: ['ignore', 'pipe', 'pipe'] });
    let stdout = '';
    let stderr = '';
    child.stdout.on('data', (d) => { stdout += d; });
    child.stderr.on('data', (d) => { stderr += d; });
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`still running with ${args.join(' ')}: ${stdout}`));
    }, timeoutMs);
    child.on('exit', (code) => {
      clearTimeout(timer);
      resolve({ code, stdout, stderr });
    });
  });
}

test('bad command lines are refused with a reason', async () => {
  const empty = tempDir('tovik-nocerts-');
  const cases = [
    { args: ['--port', 'abc'], code: 2, says: /--port/ },
    { args: ['--bogus'], code: 2, says: /bogus/ },
    { args: ['--session', 'u9:tok'], code: 2, says: /u9/ },
    { args: ['--auto-confirm', 'nobody'], code: 2, says: /nobody/ },
    { args: ['--big-file', path.join(empty, 'missing.bin')], code: 2, says: /missing\.bin/ },
    { args: ['--certs', empty], code: 2, says: /make-certs\.sh/ },
    { args: ['--port', String(server.port)], code: 1, says: /EADDRINUSE/ },
  ];
  const results = await Promise.all(cases.map((c) => {
    const args = c.args.includes('--certs') ? ['--port', '0', ...c.args] : ['--certs', certs, '--port', '0', ...c.args];
    if (c.args[0] === '--port') args.splice(2, 2);
    return refuse(args);
  }));
  for (const [i, c] of cases.entries()) {
    const res = results[i];
    assert.equal(res.code, c.code, `${c.args.join(' ')}: ${res.stderr}`);
    assert.match(res.stderr, c.says, c.args.join(' '));
    assert.equal(res.stdout, '', 'nothing on stdout unless listening');
  }
});

test('bad requests get an error status and a message, and never take the service down', async () => {
  const cases = [
    { method: 'GET', path: '/', status: 404 },
    { method: 'GET', path: '/auth/flow/web/nothing', status: 404 },
    { method: 'GET', path: '/auth/flow/web/chats/', status: 404 },
    { method: 'GET', path: '/auth/flow/web/chats//messages', token: SESSIONS.u1, status: 404 },
    { method: 'GET', path: '/auth/flow/web/files/', status: 404 },
    { method: 'GET', path: '/auth/flow/web/chats/%E0%A4%A/messages', token: SESSIONS.u1, status: 400 },
    { method: 'GET', path: '/auth/flow/web/chats/%/messages', token: SESSIONS.u1, status: 400 },
    { method: 'DELETE', path: '/auth/flow/web/chats', status: 405, allow: 'GET' },
    { method: 'GET', path: '/auth/flow/web/start', status: 405, allow: 'POST' },
    { method: 'PUT', path: '/auth/flow/web/chats/general/messages', status: 405, allow: 'GET, POST' },
    { method: 'GET', path: '/auth/flow/web/me', cookie: 'tovik_web_session', status: 401 },
    { method: 'GET', path: '/auth/flow/web/me', cookie: 'a=b; tovik_web_session=%00%ff; c', status: 401 },
    {
      method: 'POST', path: '/auth/flow/web/chats/general/messages', token: SESSIONS.u1, status: 413,
      headers: { 'Content-Length': String(100 * 1024 * 1024) }, body: (req) => req.write('{"text":'),
    },
    {
      method: 'POST', path: '/auth/flow/web/chats/general/messages', token: SESSIONS.u1, status: 400,
      headers: { 'Content-Type': 'application/json' }, body: Buffer.from([0xff, 0xfe, 0x00, 0x7b]),
    },
  ];
  for (const c of cases) {
    const what = `${c.method} ${c.path}`;
    const res = await server.request(c.method, c.path, {
      token: c.token, cookie: c.cookie, headers: c.headers, body: c.body, timeoutMs: 5000,
    });
    assert.equal(res.status, c.status, what);
    assert.match(res.headers['content-type'], /^application\/json/, what);
    assert.equal(typeof res.json.message, 'string', what);
    assert.ok(res.json.message.length > 0, what);
    if (c.allow) assert.equal(res.headers.allow, c.allow, what);
  }

  // Below HTTP: plain text on the TLS port, and garbage inside TLS.
  await new Promise((resolve) => {
    const s = net.connect(server.port, '127.0.0.1', () => s.end('GET / HTTP/1.1\r\nHost: x\r\n\r\n'));
    s.on('error', resolve);
    s.on('close', resolve);
    s.resume();
  });
  const reply = await new Promise((resolve) => {
    let data = '';
    const s = tls.connect({ port: server.port, host: '127.0.0.1', servername: 'localhost', ca: server.ca }, () => {
      s.write('\x00\x01 not http at all\r\n\r\n');
    });
    s.on('data', (d) => { data += d; });
    s.on('error', () => resolve(data));
    s.on('close', () => resolve(data));
  });
  assert.match(reply, /^HTTP\/1\.1 400/);

  assert.equal((await server.request('GET', '/auth/flow/web/me', { token: SESSIONS.u1 })).status, 200);
  assert.equal(server.child.exitCode, null);
  assert.doesNotMatch(server.output().stderr, /failed/, 'no request reached the 500 path');
});

test('SIGTERM and SIGINT stop the service cleanly and remove its temporary files', async () => {
  for (const signal of ['SIGTERM', 'SIGINT']) {
    const tmp = tempDir('tovik-tmp-');
    const own = tempDir('tovik-own-files-');
    const scratch = await startServer({ certs, env: { TMPDIR: tmp } });
    const kept = await startServer({ certs, args: ['--files-dir', own] });
    assert.ok(fs.readdirSync(tmp).length > 0, 'uploads go to a temporary folder by default');
    for (const s of [scratch, kept]) s.child.kill(signal);
    const results = await Promise.all([scratch.exited, kept.exited]);
    for (const r of results) assert.deepEqual(r, { code: 0, signal: null }, signal);
    assert.deepEqual(fs.readdirSync(tmp), [], `${signal}: temporary folder removed`);
    assert.ok(fs.existsSync(path.join(own, 'notes.txt')), `${signal}: a given --files-dir is left alone`);
    assert.equal(scratch.output().stdout.split('\n').filter(Boolean).length, 1, 'exactly one line on stdout');
  }
});
