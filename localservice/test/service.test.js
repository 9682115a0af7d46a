'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const tls = require('node:tls');
const { ROOT, SESSIONS, makeCerts, startServer, tempDir } = require('../test-support/helpers');

let certs;
let server;
before(async () => {
  certs = makeCerts();
  server = await startServer({ certs, args: ['--big-chat-messages', '3'] });
});
after(() => server.stop());

function run(args) {
  return new Promise((resolve, reject) => {
    const child = spawn(process.execPath, [path.join(ROOT, 'server.js'), ...args]);
    const out = { stdout: '', stderr: '' };
    child.stdout.on('data', (d) => { out.stdout += d; });
    child.stderr.on('data', (d) => { out.stderr += d; });
    // Only a bound against a hang: seven starts at once on a busy machine (and Node 18, which
    // loads more of itself from disk) can take well over 15 s.
    const timer = setTimeout(() => { child.kill('SIGKILL'); reject(new Error(`still running: ${args}`)); }, 60000);
    child.on('exit', (code) => { clearTimeout(timer); resolve({ code, ...out }); });
  });
}

test('bad command lines are refused with a reason and nothing on stdout', async () => {
  const empty = tempDir('tovik-empty-');
  const cases = [
    [['--port', 'abc'], 2, /--port/],
    [['--port', '0', '--bogus'], 2, /bogus/],
    [['--port', '0', '--session', 'u9:tok'], 2, /u9/],
    [['--port', '0', '--auto-confirm', 'u1,nobody'], 2, /nobody/],
    [['--port', '0', '--big-file', path.join(empty, 'missing.bin')], 2, /missing\.bin/],
    [['--port', '0', '--certs', empty], 2, /make-certs\.sh/],
    [['--port', String(server.port)], 1, /EADDRINUSE/],
  ];
  const results = await Promise.all(cases.map(([args]) => run(['--certs', certs, ...args])));
  cases.forEach(([args, code, says], i) => {
    assert.deepEqual([results[i].code, results[i].stdout], [code, ''], args.join(' '));
    assert.match(results[i].stderr, says);
  });
});

test('bad requests get an error status and a message, and never take the service down', async () => {
  const u1 = SESSIONS.u1;
  const cases = [
    ['GET', '/', {}, 404],
    ['GET', '/auth/flow/web/chats/', {}, 404],
    ['GET', '/auth/flow/web/chats//messages', { token: u1 }, 404],
    ['GET', '/auth/flow/web/chats/%E0%A4%A/messages', { token: u1 }, 400],
    ['GET', '/auth/flow/web/chats/%/messages', { token: u1 }, 400],
    ['DELETE', '/auth/flow/web/chats', {}, 405, 'GET'],
    ['GET', '/auth/flow/web/start', {}, 405, 'POST'],
    ['PUT', '/auth/flow/web/chats/general/messages', {}, 405, 'GET, POST'],
    ['GET', '/auth/flow/web/me', { cookie: 'tovik_web_session; a=b; tovik_web_session=%00' }, 401],
    ['POST', '/auth/flow/web/chats/general/messages', { token: u1, body: Buffer.from([0xff, 0xfe, 0x7b]) }, 400],
    ['POST', '/auth/flow/web/chats/general/messages',
      { token: u1, headers: { 'Content-Length': 100 * 1024 * 1024 }, body: (req) => req.write('{"text":') }, 413],
  ];
  for (const [method, url, opts, status, allow] of cases) {
    const res = await server.request(method, url, { ...opts, timeoutMs: 5000 });
    assert.equal(res.status, status, `${method} ${url}`);
    assert.ok(typeof res.json.message === 'string' && res.json.message, `${method} ${url}`);
    if (allow) assert.equal(res.headers.allow, allow);
  }
  // Below HTTP: plain text on the TLS port, and garbage inside TLS.
  await new Promise((resolve) => {
    const s = net.connect(server.port, '127.0.0.1', () => s.end('GET / HTTP/1.1\r\n\r\n')).on('close', resolve).on('error', () => {});
    s.resume();
  });
  const reply = await new Promise((resolve) => {
    let data = '';
    const s = tls.connect({ port: server.port, host: '127.0.0.1', servername: 'localhost', ca: server.ca }, () => s.write('\x00garbage\r\n\r\n'));
    s.on('data', (d) => { data += d; }).on('close', () => resolve(data)).on('error', () => {});
  });
  assert.match(reply, /^HTTP\/1\.1 400/);
  assert.equal((await server.request('GET', '/auth/flow/web/me', { token: u1 })).status, 200);
  assert.doesNotMatch(server.out.stderr, /failed/, 'nothing reached the 500 path');
});

test('SIGTERM and SIGINT stop cleanly; only a temporary files folder is removed', async () => {
  for (const signal of ['SIGTERM', 'SIGINT']) {
    const tmp = tempDir('tovik-tmp-');
    const own = tempDir('tovik-own-');
    const servers = [await startServer({ certs, env: { TMPDIR: tmp } }), await startServer({ certs, args: ['--files-dir', own] })];
    assert.equal(fs.readdirSync(tmp).length, 1);
    servers.forEach((s) => s.child.kill(signal));
    for (const s of servers) assert.deepEqual(await s.exited, { code: 0, signal: null }, signal);
    assert.deepEqual(fs.readdirSync(tmp), []);
    assert.ok(fs.existsSync(path.join(own, 'notes.txt')));
    assert.equal(servers[0].out.stdout, `listening on https://127.0.0.1:${servers[0].port}\n`);
  }
});
