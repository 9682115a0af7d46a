'use strict';

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { execFile } = require('node:child_process');
const { X509Certificate } = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { ROOT, makeCerts, startServer, tempDir } = require('../test-support/helpers');

const NAMES = ['ca.pem', 'ca.key', 'server.pem', 'server.key'];
const snapshot = (dir) => Object.fromEntries(NAMES.map((n) => [n, fs.readFileSync(path.join(dir, n), 'utf8')]));
const cert = (dir, name) => new X509Certificate(fs.readFileSync(path.join(dir, name)));

test('makes a CA and a localhost server certificate; running again keeps what is there and repairs only what is broken', () => {
  const dir = makeCerts(path.join(tempDir('tovik-certs-'), 'nested'));
  // Every other test trusts only ca.pem and checks the server's names, localhost and 127.0.0.1.
  assert.deepEqual([cert(dir, 'ca.pem').ca, cert(dir, 'server.pem').ca], [true, false]);
  const [other, KEEP_CA] = [makeCerts(), ['ca.pem', 'ca.key']];
  const cases = [['nothing to do', () => {}, NAMES], ['loose key mode', () => fs.chmodSync(path.join(dir, 'ca.key'), 0o644), NAMES],
    ['server key missing', () => fs.rmSync(path.join(dir, 'server.key')), KEEP_CA],
    ['server cert from another CA', () => ['server.pem', 'server.key'].forEach((n) => fs.copyFileSync(path.join(other, n), path.join(dir, n))), KEEP_CA],
    ['CA key lost', () => fs.rmSync(path.join(dir, 'ca.key')), []]];
  for (const [why, change, kept] of cases) { // the CA compiled into clients stays unless its key is gone
    const [before, , after] = [snapshot(dir), change(), snapshot(makeCerts(dir))];
    assert.deepEqual([NAMES.filter((n) => after[n] === before[n]), cert(dir, 'server.pem').verify(cert(dir, 'ca.pem').publicKey),
      ...['ca.key', 'server.key'].map((k) => fs.statSync(path.join(dir, k)).mode & 0o777)], [kept, true, 0o600, 0o600], why);
  }
});

/** Exit code and output of server.js run with `args`; the minute is only a bound against a hang (Node 18 on a busy machine is slow). */
const run = (args) => new Promise((resolve) => execFile(process.execPath, [path.join(ROOT, 'server.js'), ...args], { timeout: 60000 },
  (err, stdout, stderr) => resolve({ code: err ? err.code : 0, stdout, stderr })));

test('bad command lines are refused with a reason; SIGTERM and SIGINT stop cleanly, removing only a temporary files folder', async () => {
  const [certs, tmp, own, empty] = [makeCerts(), tempDir('tovik-tmp-'), tempDir('tovik-own-'), tempDir('tovik-empty-')];
  const servers = await Promise.all([startServer({ certs, env: { TMPDIR: tmp } }), startServer({ certs, args: ['--files-dir', own] })]);
  const cases = [[['--port', 'abc'], 2, /--port/], [['--port', '0', '--bogus'], 2, /bogus/], [['--port', '0', '--session', 'u9:tok'], 2, /u9/],
    [['--port', '0', '--auto-confirm', 'u1,nobody'], 2, /nobody/], [['--port', '0', '--big-file', path.join(empty, 'missing.bin')], 2, /missing\.bin/],
    [['--port', '0', '--certs', empty], 2, /make-certs\.sh/], [['--port', String(servers[0].port)], 1, /EADDRINUSE/]];
  const results = await Promise.all(cases.map(([args]) => run(['--certs', certs, ...args])));
  cases.forEach(([args, code, says], i) => assert.deepEqual([results[i].code, results[i].stdout, says.test(results[i].stderr)], [code, '', true], args.join(' ')));
  assert.deepEqual([fs.readdirSync(tmp).length, servers[0].out.stdout], [1, `listening on https://127.0.0.1:${servers[0].port}\n`]);
  servers.forEach((s, i) => s.child.kill(['SIGTERM', 'SIGINT'][i]));
  for (const s of servers) assert.deepEqual(await s.exited, { code: 0, signal: null });
  assert.deepEqual([fs.readdirSync(tmp), fs.existsSync(path.join(own, 'notes.txt'))], [[], true]);
});
