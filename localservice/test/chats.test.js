'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { startServer, SESSIONS } = require('../test-support/helpers');

let server;
before(async () => {
  server = await startServer({ args: ['--big-chat-messages', '40', '--extra-chats', '2'] });
});
after(() => server.stop());

const messages = (chat, user, opts = {}) =>
  server.request(opts.body ? 'POST' : 'GET', `/auth/flow/web/chats/${encodeURIComponent(chat)}/messages`, { token: SESSIONS[user], ...opts });

test('each user lists exactly their chats', async () => {
  const expected = {
    u1: ['general', 'u1-u2', 'team/design', 'u1-u4', 'echo-u1', 'extra-1', 'extra-2'],
    u2: ['general', 'u1-u2', 'u2-u3', 'echo-u2', 'extra-1', 'extra-2'],
    u3: ['general', 'team/design', 'u2-u3', 'echo-u3'],
    u4: ['u1-u4', 'echo-u4'],
  };
  for (const [user, ids] of Object.entries(expected)) {
    const { chats } = (await server.request('GET', '/auth/flow/web/chats', { token: SESSIONS[user] })).json;
    assert.deepEqual(chats.map((c) => c.id), ids, user);
  }
});

test('the big chat: its size, oldest first, one deleted message and one downloadable file', async () => {
  const list = (await messages('general', 'u2')).json.messages;
  assert.equal(list.length, 40);
  const times = list.map((m) => Date.parse(m.createdAt));
  assert.deepEqual(times, [...times].sort((a, b) => a - b));
  assert.ok(new Set(list.map((m) => m.senderId)).size >= 3);
  const byType = (t) => list.filter((m) => m.type === t);
  assert.equal(byType('DELETED').length, 1);
  assert.deepEqual([byType('DELETED')[0].content, byType('DELETED')[0].mediaUrl], ['', '']);
  assert.ok(byType('TEXT').every((m) => m.content && m.mediaUrl === '' && m.fileName === ''));
  const [file] = byType('FILE');
  assert.equal(file.fileName, 'notes.txt');
  const url = new URL(file.mediaUrl);
  assert.equal(url.origin, `https://localhost:${server.port}`);
  const notes = await server.request('GET', url.pathname, { token: SESSIONS.u3 });
  assert.deepEqual([notes.status, Number(notes.headers['content-length'])], [200, notes.raw.length]);
  assert.ok(notes.text.startsWith('Заметки'));
});

test('a chat id with a slash is one percent-encoded segment', async () => {
  assert.equal((await server.request('GET', '/auth/flow/web/chats/team%2Fdesign/messages', { token: SESSIONS.u3 })).status, 200);
  assert.equal((await server.request('GET', '/auth/flow/web/chats/team%2fdesign/messages', { token: SESSIONS.u3 })).status, 200);
  assert.equal((await server.request('GET', '/auth/flow/web/chats/team/design/messages', { token: SESSIONS.u3 })).status, 404);
});

test('posted messages come back trimmed, from the poster, at the end', async () => {
  const posted = await messages('team/design', 'u1', { body: { text: '  Привет 👋 <b>&</b>\n' } });
  assert.deepEqual([posted.status, posted.json.ok], [201, true]);
  const last = (await messages('team/design', 'u3')).json.messages.at(-1);
  assert.deepEqual([last.id, last.type, last.content, last.senderId, last.senderName],
    [posted.json.id, 'TEXT', 'Привет 👋 <b>&</b>', 'u1', 'Анна Соколова']);
});

test('membership and validation', async () => {
  const cases = [
    ['u1', 'u2-u3', undefined, 404],
    ['u1', 'u2-u3', { text: 'тайком' }, 404],
    ['u4', 'general', undefined, 404],
    ['u1', 'no-such-chat', undefined, 404],
    [undefined, 'general', undefined, 401],
    ['u1', 'u1-u2', '{"text": "a"', 400],
    ['u1', 'u1-u2', '[1]', 400],
    ['u1', 'u1-u2', 'null', 400],
    ['u1', 'u1-u2', { text: 42 }, 400],
    ['u1', 'u1-u2', { text: ' \n\t ' }, 400],
    ['u1', 'u1-u2', { text: 'я'.repeat(4001) }, 400],
    ['u1', 'u1-u2', { text: 'я'.repeat(4000) }, 201],
    ['u1', 'u1-u2', { text: '😀'.repeat(4000) }, 201],
    ['u1', 'u1-u2', { text: 'x'.repeat(70 * 1024) }, 413],
  ];
  for (const [user, chat, body, status] of cases) {
    const res = await messages(chat, user, { body, headers: { 'Content-Type': 'application/json' } });
    const what = `${user} ${chat} ${JSON.stringify(body)}`.slice(0, 60);
    assert.equal(res.status, status, what);
    if (status >= 400) assert.ok(typeof res.json.message === 'string' && res.json.message, what);
  }
  assert.ok(!(await messages('u2-u3', 'u2')).json.messages.some((m) => m.content === 'тайком'));
});
