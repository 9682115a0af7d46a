'use strict';

const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { X509Certificate } = require('node:crypto');
const { makeCerts, tempDir } = require('../test-support/helpers');

const NAMES = ['ca.pem', 'ca.key', 'server.pem', 'server.key'];

function snapshot(dir) {
  return Object.fromEntries(NAMES.map((n) => [n, fs.readFileSync(path.join(dir, n), 'utf8')]));
}

function cert(dir, name) {
  return new X509Certificate(fs.readFileSync(path.join(dir, name)));
}

function chainsTo(dir) {
  return cert(dir, 'server.pem').verify(cert(dir, 'ca.pem').publicKey);
}

let dir;

test('creates a CA and a localhost server certificate with private keys', () => {
  dir = makeCerts(path.join(tempDir('tovik-certs-'), 'nested', 'certs'));
  const ca = cert(dir, 'ca.pem');
  const server = cert(dir, 'server.pem');
  assert.match(ca.subject, /CN=Tovik Development CA/);
  assert.equal(ca.ca, true);
  assert.equal(server.ca, false);
  assert.match(server.subjectAltName, /DNS:localhost/);
  assert.match(server.subjectAltName, /IP Address:127\.0\.0\.1/);
  assert.ok(chainsTo(dir));
  assert.ok(server.checkHost('localhost'));
  assert.ok(server.checkIP('127.0.0.1'));
  for (const key of ['ca.key', 'server.key']) {
    assert.equal(fs.statSync(path.join(dir, key)).mode & 0o777, 0o600, key);
  }
});

test('running again keeps what is there and repairs only what is broken', () => {
  const first = snapshot(dir);
  const other = makeCerts();

  const cases = [
    { why: 'nothing changed', change: () => {}, same: NAMES },
    { why: 'server key missing', change: () => fs.rmSync(path.join(dir, 'server.key')), same: ['ca.pem', 'ca.key'] },
    {
      why: 'server cert from another CA',
      change: () => {
        for (const n of ['server.pem', 'server.key']) fs.copyFileSync(path.join(other, n), path.join(dir, n));
      },
      same: ['ca.pem', 'ca.key'],
    },
    { why: 'loose key mode', change: () => fs.chmodSync(path.join(dir, 'ca.key'), 0o644), same: NAMES },
  ];
  for (const c of cases) {
    const before = snapshot(dir);
    c.change();
    makeCerts(dir);
    const after = snapshot(dir);
    for (const n of NAMES) {
      if (c.same.includes(n)) assert.equal(after[n], before[n], `${c.why}: ${n} kept`);
      else assert.notEqual(after[n], before[n], `${c.why}: ${n} re-issued`);
    }
    assert.ok(chainsTo(dir), c.why);
    assert.equal(fs.statSync(path.join(dir, 'ca.key')).mode & 0o777, 0o600, c.why);
  }
  assert.equal(snapshot(dir)['ca.pem'], first['ca.pem'], 'the CA compiled into clients never changes');
});

test('a lost CA key means a new CA and a new server certificate', () => {
  const before = snapshot(dir);
  fs.rmSync(path.join(dir, 'ca.key'));
  makeCerts(dir);
  const after = snapshot(dir);
  for (const n of NAMES) assert.notEqual(after[n], before[n], n);
  assert.ok(chainsTo(dir));
});
