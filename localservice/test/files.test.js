'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { startServer, SESSIONS, tempDir, sleep } = require('../test-support/helpers');

const LIMIT = 25 * 1024 * 1024;
const B = 'tovikBoundary7MA4YWxkTrZu0gW';
const TYPE = { 'Content-Type': `multipart/form-data; boundary=${B}` };
let server;
let filesDir;
let bigFile;

before(async () => {
  filesDir = tempDir('tovik-files-');
  bigFile = path.join(tempDir('tovik-big-'), 'Большой файл.bin');
  fs.writeFileSync(bigFile, crypto.randomBytes(3 * 1024 * 1024 + 17));
  server = await startServer({ args: ['--files-dir', filesDir, '--big-file', bigFile, '--big-chat-messages', '5'] });
});
after(() => server.stop());

const head = (name, field = 'file') => Buffer.from(`--${B}\r\nContent-Disposition: form-data; name="${field}"; filename="${name}"\r\n\r\n`);
const TAIL = Buffer.from(`\r\n--${B}--\r\n`);
const sha = (buf) => crypto.createHash('sha256').update(buf).digest('hex');
const uploads = () => fs.readdirSync(filesDir).filter((f) => f !== 'notes.txt');

function upload(chat, data, { token = SESSIONS.u1, name = 'data.bin', field, write } = {}) {
  const h = head(name, field);
  return server.request('POST', `/auth/flow/web/chats/${encodeURIComponent(chat)}/files`, {
    token,
    headers: { ...TYPE, 'Content-Length': h.length + data.length + TAIL.length },
    body: write ? (req) => write(req, h) : (req) => { req.write(h); req.write(data); req.end(TAIL); },
  });
}

async function uploadsSettleAt(count) {
  for (let i = 0; i < 40 && uploads().length !== count; i++) await sleep(25);
  return uploads().length;
}

test('exactly 25 MiB is accepted and downloadable by chat members only', async () => {
  const data = crypto.randomBytes(LIMIT);
  const res = await upload('general', data, { name: 'Отчёт за март.pdf' });
  assert.equal(res.status, 201, res.text);
  const { messages } = (await server.request('GET', '/auth/flow/web/chats/general/messages', { token: SESSIONS.u2 })).json;
  const message = messages.find((m) => m.id === res.json.id);
  assert.deepEqual([message.type, message.fileName, message.senderId], ['FILE', 'Отчёт за март.pdf', 'u1']);
  const { pathname } = new URL(message.mediaUrl);
  for (const [token, status] of [[SESSIONS.u3, 200], [SESSIONS.u4, 403], [undefined, 401]]) {
    const got = await server.request('GET', pathname, { token });
    assert.equal(got.status, status);
    if (status === 200) {
      assert.equal(got.headers['content-type'], 'application/octet-stream');
      assert.equal(sha(got.raw), sha(data));
    }
  }
  assert.equal((await server.request('GET', '/auth/flow/web/files/unknown', { token: SESSIONS.u1 })).status, 404);
});

test('one byte more is refused and the partial file removed', async () => {
  const before = uploads().length;
  const res = await upload('u1-u2', Buffer.alloc(LIMIT + 1, 7));
  assert.deepEqual([res.status, res.json], [413, { message: 'Файл больше 25 МБ' }]);
  assert.equal(await uploadsSettleAt(before), before);
});

test('an upload is on disk while it still arrives', async () => {
  const before = uploads().length;
  const chunk = crypto.randomBytes(1024 * 1024);
  let grewMidway = false;
  const res = await upload('u1-u4', Buffer.alloc(12 * chunk.length), {
    token: SESSIONS.u4,
    write: async (req, h) => {
      req.write(h);
      for (let i = 0; i < 6; i++) req.write(chunk);
      // A server that buffers the whole body would have nothing on disk yet.
      for (let i = 0; i < 100 && !grewMidway; i++) {
        await sleep(20);
        grewMidway = uploads().some((n) => fs.statSync(path.join(filesDir, n)).size >= 2 * chunk.length);
      }
      for (let i = 0; i < 6; i++) req.write(chunk);
      req.end(TAIL);
    },
  });
  assert.equal(res.status, 201);
  assert.equal(uploads().length, before + 1);
  assert.ok(grewMidway);
});

test('malformed uploads are refused and leave nothing behind', async () => {
  const before = uploads().length;
  const raw = (headers, body) => server.request('POST', '/auth/flow/web/chats/general/files', { token: SESSIONS.u1, headers, body, timeoutMs: 5000 });
  const cases = [
    ['not multipart', () => raw({ 'Content-Type': 'application/json' }, '{}'), 415],
    ['no boundary', () => raw({ 'Content-Type': 'multipart/form-data' }, 'x'), 400],
    ['no file part', () => raw(TYPE, `--${B}\r\nContent-Disposition: form-data; name="note"\r\n\r\nhi\r\n--${B}--\r\n`), 400],
    ['cut short', () => raw(TYPE, `${head('a.txt')}abc`), 400],
    ['declared far too big', () => raw({ ...TYPE, 'Content-Length': 200 * 1024 * 1024 }, (req) => req.write('x')), 413],
    ['wrong field name', () => upload('general', Buffer.from('abc'), { field: 'attachment' }), 400],
    ['foreign chat', () => upload('u2-u3', Buffer.from('abc')), 404],
    ['signed out', () => upload('general', Buffer.from('abc'), { token: 'nope' }), 401],
  ];
  for (const [why, run, status] of cases) {
    const res = await run();
    assert.equal(res.status, status, why);
    assert.equal(typeof res.json.message, 'string', why);
  }
  assert.equal(await uploadsSettleAt(before), before);
});

test('--big-file is served from where it lies', async () => {
  const { messages } = (await server.request('GET', '/auth/flow/web/chats/general/messages', { token: SESSIONS.u1 })).json;
  const big = messages.find((m) => m.fileName === 'Большой файл.bin');
  assert.equal(big.type, 'FILE');
  const got = await server.request('GET', new URL(big.mediaUrl).pathname, { token: SESSIONS.u1 });
  assert.equal(sha(got.raw), sha(fs.readFileSync(bigFile)));
});

test('uploads past the disk quota are refused and leave nothing behind', async () => {
  const dir = tempDir('tovik-quota-');
  const small = await startServer({ args: ['--files-dir', dir, '--upload-quota', '100000', '--big-chat-messages', '3'] });
  try {
    const send = (size, declared) => {
      const h = head('q.bin');
      return small.request('POST', '/auth/flow/web/chats/u1-u2/files', {
        token: SESSIONS.u1, timeoutMs: 5000,
        headers: { ...TYPE, 'Content-Length': declared ?? h.length + size + TAIL.length },
        body: (req) => { req.write(h); req.write(Buffer.alloc(size, 1)); req.end(TAIL); },
      });
    };
    assert.equal((await send(60000)).status, 201);
    const full = { message: 'Хранилище файлов заполнено' };
    assert.deepEqual([(await send(60000)).status, (await send(60000)).json], [507, full]);
    const declared = await send(10, 200000);
    assert.deepEqual([declared.status, declared.json], [507, full], 'refused before the body');
    for (let i = 0; i < 40 && fs.readdirSync(dir).length !== 2; i++) await sleep(25);
    assert.equal(fs.readdirSync(dir).length, 2, 'notes.txt and the one upload');
  } finally {
    await small.stop();
  }
});
