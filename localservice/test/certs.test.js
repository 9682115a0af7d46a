'use strict';

const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { X509Certificate } = require('node:crypto');
const { makeCerts, tempDir } = require('../test-support/helpers');

const NAMES = ['ca.pem', 'ca.key', 'server.pem', 'server.key'];
const snapshot = (dir) => Object.fromEntries(NAMES.map((n) => [n, fs.readFileSync(path.join(dir, n), 'utf8')]));
const cert = (dir, name) => new X509Certificate(fs.readFileSync(path.join(dir, name)));
const chainsTo = (dir) => cert(dir, 'server.pem').verify(cert(dir, 'ca.pem').publicKey);
const keyModes = (dir) => ['ca.key', 'server.key'].map((k) => fs.statSync(path.join(dir, k)).mode & 0o777);

let dir;

test('creates a CA and a server certificate for localhost and 127.0.0.1', () => {
  dir = makeCerts(path.join(tempDir('tovik-certs-'), 'nested'));
  const [ca, server] = [cert(dir, 'ca.pem'), cert(dir, 'server.pem')];
  assert.match(ca.subject, /CN=Tovik Development CA/);
  assert.deepEqual([ca.ca, server.ca], [true, false]);
  assert.ok(chainsTo(dir));
  assert.ok(server.checkHost('localhost') && server.checkIP('127.0.0.1'));
  assert.deepEqual(keyModes(dir), [0o600, 0o600]);
});

test('running again keeps what is there and repairs only what is broken', () => {
  const caBefore = snapshot(dir)['ca.pem'];
  const other = makeCerts();
  const KEEP_CA = ['ca.pem', 'ca.key'];
  const cases = [
    ['nothing to do', () => {}, NAMES],
    ['loose key mode', () => fs.chmodSync(path.join(dir, 'ca.key'), 0o644), NAMES],
    ['server key missing', () => fs.rmSync(path.join(dir, 'server.key')), KEEP_CA],
    ['server cert from another CA', () => ['server.pem', 'server.key'].forEach((n) => fs.copyFileSync(path.join(other, n), path.join(dir, n))), KEEP_CA],
    ['CA key lost', () => fs.rmSync(path.join(dir, 'ca.key')), []],
  ];
  for (const [why, change, kept] of cases) {
    const before = snapshot(dir);
    change();
    makeCerts(dir);
    const after = snapshot(dir);
    for (const n of NAMES) assert.equal(after[n] === before[n], kept.includes(n), `${why}: ${n}`);
    assert.ok(chainsTo(dir), why);
    assert.deepEqual(keyModes(dir), [0o600, 0o600], why);
    if (why !== 'CA key lost') assert.equal(after['ca.pem'], caBefore, 'the CA compiled into clients stays');
  }
});
