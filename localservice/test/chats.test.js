'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { startServer, SESSIONS } = require('../test-support/helpers');

let server;
before(async () => {
  server = await startServer({ args: ['--big-chat-messages', '40', '--extra-chats', '3'] });
});
after(() => server && server.stop());

const messagesPath = (id) => `/auth/flow/web/chats/${encodeURIComponent(id)}/messages`;

test('each user sees exactly the chats they are a member of', async () => {
  const expected = {
    u1: ['general', 'u1-u2', 'team/design', 'u1-u4', 'extra-1', 'extra-2', 'extra-3'],
    u2: ['general', 'u1-u2', 'u2-u3', 'extra-1', 'extra-2', 'extra-3'],
    u3: ['general', 'team/design', 'u2-u3'],
    u4: ['u1-u4'],
  };
  for (const [user, ids] of Object.entries(expected)) {
    const res = await server.request('GET', '/auth/flow/web/chats', { token: SESSIONS[user] });
    assert.equal(res.status, 200);
    assert.deepEqual(res.json.chats.map((c) => c.id), ids, user);
  }
  const u1 = (await server.request('GET', '/auth/flow/web/chats', { token: SESSIONS.u1 })).json.chats;
  assert.deepEqual(u1.find((c) => c.id === 'team/design'), { id: 'team/design', name: 'Дизайн' });
  assert.deepEqual(u1.slice(-3).map((c) => c.name), ['Чат 1', 'Чат 2', 'Чат 3']);
});

test('the big chat: requested size, oldest first, one deleted and one downloadable file', async () => {
  const res = await server.request('GET', messagesPath('general'), { token: SESSIONS.u2 });
  const { messages } = res.json;
  assert.equal(messages.length, 40);
  const times = messages.map((m) => Date.parse(m.createdAt));
  assert.deepEqual(times, [...times].sort((a, b) => a - b));
  assert.equal(new Set(messages.map((m) => m.id)).size, 40);
  assert.ok(new Set(messages.map((m) => m.senderId)).size >= 3);
  for (const m of messages) {
    assert.deepEqual(Object.keys(m).sort(),
      ['content', 'createdAt', 'fileName', 'id', 'mediaUrl', 'senderId', 'senderName', 'type']);
    assert.match(m.createdAt, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$/);
  }
  const deleted = messages.filter((m) => m.type === 'DELETED');
  const files = messages.filter((m) => m.type === 'FILE');
  assert.equal(deleted.length, 1);
  assert.deepEqual([deleted[0].content, deleted[0].mediaUrl, deleted[0].fileName], ['', '', '']);
  assert.equal(files.length, 1);
  assert.equal(files[0].fileName, 'notes.txt');
  const url = new URL(files[0].mediaUrl);
  assert.equal(url.origin, `https://localhost:${server.port}`);
  assert.match(url.pathname, /^\/auth\/flow\/web\/files\/[^/]+$/);
  for (const m of messages.filter((x) => x.type === 'TEXT')) {
    assert.ok(m.content.length > 0);
    assert.deepEqual([m.mediaUrl, m.fileName], ['', '']);
  }
  const notes = await server.request('GET', url.pathname, { token: SESSIONS.u3 });
  assert.equal(notes.status, 200);
  assert.equal(notes.headers['content-type'], 'application/octet-stream');
  assert.equal(Number(notes.headers['content-length']), notes.raw.length);
  assert.ok(notes.text.startsWith('Заметки'));
  assert.equal((await server.request('GET', url.pathname, { token: SESSIONS.u4 })).status, 403);
});

test('a chat id with a slash is addressed percent-encoded', async () => {
  const ok = await server.request('GET', '/auth/flow/web/chats/team%2Fdesign/messages', { token: SESSIONS.u3 });
  assert.equal(ok.status, 200);
  assert.ok(ok.json.messages.length > 0);
  const lower = await server.request('GET', '/auth/flow/web/chats/team%2fdesign/messages', { token: SESSIONS.u3 });
  assert.equal(lower.status, 200);
  const unencoded = await server.request('GET', '/auth/flow/web/chats/team/design/messages', { token: SESSIONS.u3 });
  assert.equal(unencoded.status, 404);
});

test('posting a message and reading it back', async () => {
  const text = '  Привет, команда! 👋 <b>&</b>  ';
  const posted = await server.request('POST', messagesPath('team/design'), { token: SESSIONS.u1, body: { text } });
  assert.equal(posted.status, 201);
  assert.equal(posted.json.ok, true);
  const { messages } = (await server.request('GET', messagesPath('team/design'), { token: SESSIONS.u3 })).json;
  const last = messages[messages.length - 1];
  assert.equal(last.id, posted.json.id);
  assert.deepEqual(
    [last.type, last.content, last.senderId, last.senderName, last.mediaUrl, last.fileName],
    ['TEXT', text.trim(), 'u1', 'Анна Соколова', '', ''],
  );
  assert.ok(Math.abs(Date.parse(last.createdAt) - Date.now()) < 60000);
});

test('membership: foreign and unknown chats look the same, signed-out is 401', async () => {
  const cases = [
    { token: SESSIONS.u1, method: 'GET', chat: 'u2-u3', status: 404 },
    { token: SESSIONS.u1, method: 'POST', chat: 'u2-u3', status: 404 },
    { token: SESSIONS.u4, method: 'GET', chat: 'general', status: 404 },
    { token: SESSIONS.u1, method: 'GET', chat: 'no-such-chat', status: 404 },
    { token: undefined, method: 'GET', chat: 'general', status: 401 },
    { token: 'stale-token', method: 'POST', chat: 'general', status: 401 },
  ];
  for (const c of cases) {
    const res = await server.request(c.method, messagesPath(c.chat), { token: c.token, body: c.method === 'POST' ? { text: 'hi' } : undefined });
    assert.equal(res.status, c.status, JSON.stringify(c));
    assert.equal(typeof res.json.message, 'string');
    assert.ok(res.json.message.length > 0);
  }
  const { messages } = (await server.request('GET', messagesPath('u2-u3'), { token: SESSIONS.u2 })).json;
  assert.ok(!messages.some((m) => m.content === 'hi'), 'refused posts leave no trace');
});

test('message validation', async () => {
  const cases = [
    { body: '{"text": "a"', status: 400, why: 'broken JSON' },
    { body: '[1,2]', status: 400, why: 'not an object' },
    { body: 'null', status: 400, why: 'null' },
    { body: {}, status: 400, why: 'no text' },
    { body: { text: 42 }, status: 400, why: 'text not a string' },
    { body: { text: '' }, status: 400, why: 'empty' },
    { body: { text: ' \n\t ' }, status: 400, why: 'only whitespace' },
    { body: { text: 'я'.repeat(4001) }, status: 400, why: '4001 characters' },
    { body: { text: 'я'.repeat(4000) }, status: 201, why: 'exactly 4000 characters' },
    { body: { text: '😀'.repeat(4000) }, status: 201, why: '4000 emoji are 4000 characters' },
    { body: { text: 'x'.repeat(70 * 1024) }, status: 413, why: 'body over 64 KiB' },
  ];
  for (const c of cases) {
    const res = await server.request('POST', messagesPath('u1-u2'), { token: SESSIONS.u1, body: c.body, headers: { 'Content-Type': 'application/json' } });
    assert.equal(res.status, c.status, c.why);
    if (c.status >= 400) assert.equal(typeof res.json.message, 'string', c.why);
  }
  // The server is still fine after all that.
  assert.equal((await server.request('GET', '/auth/flow/web/me', { token: SESSIONS.u1 })).status, 200);
});
