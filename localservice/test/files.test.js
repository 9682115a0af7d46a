'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { startServer, SESSIONS, tempDir, sleep } = require('../test-support/helpers');

const LIMIT = 25 * 1024 * 1024;
const BOUNDARY = 'tovikTestBoundary7MA4YWxkTrZu0gW';

let server;
let filesDir;
let bigFile;

before(async () => {
  filesDir = tempDir('tovik-files-test-');
  bigFile = path.join(tempDir('tovik-big-'), 'Большой файл.bin');
  fs.writeFileSync(bigFile, crypto.randomBytes(3 * 1024 * 1024 + 17));
  server = await startServer({ args: ['--files-dir', filesDir, '--big-file', bigFile, '--big-chat-messages', '5'] });
});
after(async () => {
  if (server) await server.stop();
  fs.rmSync(filesDir, { recursive: true, force: true });
  fs.rmSync(path.dirname(bigFile), { recursive: true, force: true });
});

function multipart(name, { field = 'file', filename = name } = {}) {
  const head = Buffer.from(
    `--${BOUNDARY}\r\nContent-Disposition: form-data; name="${field}"; filename="${filename}"\r\n`
    + 'Content-Type: application/octet-stream\r\n\r\n',
  );
  const tail = Buffer.from(`\r\n--${BOUNDARY}--\r\n`);
  return { head, tail };
}

const multipartHeaders = (length) => ({
  'Content-Type': `multipart/form-data; boundary=${BOUNDARY}`,
  ...(length === undefined ? {} : { 'Content-Length': length }),
});

function upload(chatId, data, { token = SESSIONS.u1, name = 'data.bin', field } = {}) {
  const { head, tail } = multipart(name, { field });
  return server.request('POST', `/auth/flow/web/chats/${encodeURIComponent(chatId)}/files`, {
    token,
    headers: multipartHeaders(head.length + data.length + tail.length),
    body: (req) => {
      req.write(head);
      req.write(data);
      req.end(tail);
    },
  });
}

const uploads = () => fs.readdirSync(filesDir).filter((f) => f !== 'notes.txt');

async function settledUploads(count) {
  let names = uploads();
  for (let i = 0; i < 40 && names.length !== count; i++) {
    await sleep(25);
    names = uploads();
  }
  return names;
}

const sha = (buf) => crypto.createHash('sha256').update(buf).digest('hex');

test('exactly 25 MiB is accepted, stored once and downloadable only by chat members', async () => {
  const data = crypto.randomBytes(LIMIT);
  const before = uploads().length;
  const res = await upload('general', data, { name: 'Отчёт за март.pdf' });
  assert.equal(res.status, 201, res.text);
  assert.equal(res.json.ok, true);
  assert.equal(uploads().length, before + 1);

  const { messages } = (await server.request('GET', '/auth/flow/web/chats/general/messages', { token: SESSIONS.u2 })).json;
  const message = messages.find((m) => m.id === res.json.id);
  assert.deepEqual([message.type, message.fileName, message.senderId], ['FILE', 'Отчёт за март.pdf', 'u1']);
  const url = new URL(message.mediaUrl);
  assert.equal(url.origin, `https://localhost:${server.port}`);

  const cases = [
    { who: 'uploader', token: SESSIONS.u1, status: 200 },
    { who: 'other member', token: SESSIONS.u3, status: 200 },
    { who: 'not a member', token: SESSIONS.u4, status: 403 },
    { who: 'signed out', token: undefined, status: 401 },
  ];
  for (const c of cases) {
    const got = await server.request('GET', url.pathname, { token: c.token });
    assert.equal(got.status, c.status, c.who);
    if (c.status === 200) {
      assert.equal(got.headers['content-type'], 'application/octet-stream');
      assert.equal(Number(got.headers['content-length']), LIMIT);
      assert.equal(sha(got.raw), sha(data), c.who);
    } else {
      assert.equal(typeof got.json.message, 'string', c.who);
    }
  }
  assert.equal((await server.request('GET', '/auth/flow/web/files/unknown', { token: SESSIONS.u1 })).status, 404);
});

test('one byte over 25 MiB is refused and the partial file removed', async () => {
  const before = uploads().length;
  const res = await upload('u1-u2', Buffer.alloc(LIMIT + 1, 7));
  assert.equal(res.status, 413);
  assert.deepEqual(res.json, { message: 'Файл больше 25 МБ' });
  assert.equal((await settledUploads(before)).length, before);
  const { messages } = (await server.request('GET', '/auth/flow/web/chats/u1-u2/messages', { token: SESSIONS.u1 })).json;
  assert.ok(!messages.some((m) => m.type === 'FILE'));
});

test('uploads go to disk while they arrive rather than after', async () => {
  const before = uploads().length;
  const chunk = crypto.randomBytes(1024 * 1024);
  const total = 12;
  const { head, tail } = multipart('stream.bin');
  let grewMidway = false;
  const res = await server.request('POST', '/auth/flow/web/chats/u1-u4/files', {
    token: SESSIONS.u4,
    headers: multipartHeaders(head.length + chunk.length * total + tail.length),
    body: async (req) => {
      req.write(head);
      for (let i = 0; i < total / 2; i++) req.write(chunk);
      // Half the file is sent and the request is still open: a server that
      // buffers in memory would have nothing on disk yet.
      for (let i = 0; i < 100 && !grewMidway; i++) {
        await sleep(20);
        const names = uploads();
        grewMidway = names.length > before
          && names.some((n) => fs.statSync(path.join(filesDir, n)).size >= chunk.length * 2);
      }
      for (let i = total / 2; i < total; i++) req.write(chunk);
      req.end(tail);
    },
  });
  assert.equal(res.status, 201);
  assert.ok(grewMidway, 'part of the file was on disk before the upload finished');
});

test('malformed uploads are refused with a message', async () => {
  const chat = '/auth/flow/web/chats/general/files';
  const before = uploads().length;
  const cases = [
    { why: 'not multipart', headers: { 'Content-Type': 'application/json' }, body: '{}', status: [400, 415] },
    { why: 'no boundary', headers: { 'Content-Type': 'multipart/form-data' }, body: 'x', status: [400] },
    { why: 'no file part', headers: multipartHeaders(), body: `--${BOUNDARY}\r\nContent-Disposition: form-data; name="note"\r\n\r\nhi\r\n--${BOUNDARY}--\r\n`, status: [400] },
    { why: 'truncated form', headers: multipartHeaders(), body: `--${BOUNDARY}\r\nContent-Disposition: form-data; name="file"; filename="a.txt"\r\n\r\nabc`, status: [400] },
    { why: 'declared far too big', headers: multipartHeaders(200 * 1024 * 1024), body: (req) => req.write('x'), status: [413] },
  ];
  for (const c of cases) {
    const res = await server.request('POST', chat, { token: SESSIONS.u1, headers: c.headers, body: c.body, timeoutMs: 5000 });
    assert.ok(c.status.includes(res.status), `${c.why}: ${res.status} ${res.text}`);
    assert.equal(typeof res.json.message, 'string', c.why);
  }
  const wrongField = await upload('general', Buffer.from('abc'), { field: 'attachment' });
  assert.equal(wrongField.status, 400);
  const foreign = await upload('u2-u3', Buffer.from('abc'));
  assert.equal(foreign.status, 404);
  const anonymous = await upload('general', Buffer.from('abc'), { token: 'nope' });
  assert.equal(anonymous.status, 401);
  assert.equal((await settledUploads(before)).length, before, 'no file left behind');
});

test('--big-file is served from its place on disk', async () => {
  const { messages } = (await server.request('GET', '/auth/flow/web/chats/general/messages', { token: SESSIONS.u1 })).json;
  const big = messages.find((m) => m.fileName === 'Большой файл.bin');
  assert.equal(big.type, 'FILE');
  const got = await server.request('GET', new URL(big.mediaUrl).pathname, { token: SESSIONS.u1 });
  assert.equal(got.status, 200);
  assert.equal(sha(got.raw), sha(fs.readFileSync(bigFile)));
  assert.match(got.headers['content-disposition'], /filename\*=UTF-8''%D0%91/);
});
