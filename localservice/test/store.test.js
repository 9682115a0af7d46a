'use strict';

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { Store, FLOW_TTL_MS } = require('../src/store');

function clockedStore(opts = {}) {
  const clock = { t: 1_000_000 };
  return { store: new Store({ now: () => clock.t, ...opts }), clock };
}

test('sign-in flows expire after ten minutes, by id and by cookie', () => {
  const { store, clock } = clockedStore();
  const flow = store.createFlow();
  for (const [age, alive] of [[FLOW_TTL_MS - 1, true], [FLOW_TTL_MS, false]]) {
    clock.t = flow.createdAt + age;
    assert.equal(Boolean(store.flowById(flow.id)), alive, `by id at ${age}`);
    assert.equal(Boolean(store.flowBySecret(flow.secret)), alive, `by secret at ${age}`);
  }
  for (let i = 0; i < 3; i++) store.createFlow();
  clock.t += FLOW_TTL_MS;
  store.createFlow();
  assert.equal(store.flows.size, 1, 'a new flow sweeps the expired ones');
});

test('floods are bounded: the oldest flows and minted sessions make room, pinned sessions stay', () => {
  const { store } = clockedStore({ maxFlows: 5, maxSessions: 3 });
  const flows = Array.from({ length: 8 }, () => store.createFlow());
  assert.deepEqual([store.flows.size, store.flowsBySecret.size], [5, 5]);
  assert.deepEqual(flows.map((f) => Boolean(store.flowBySecret(f.secret))), [false, false, false, true, true, true, true, true]);

  store.addUser('u1', 'Анна Соколова');
  store.createSession('u1', 'pinned', { pinned: true });
  const minted = Array.from({ length: 5 }, () => store.createSession('u1').token);
  assert.ok(store.sessionUser('pinned'));
  assert.deepEqual(minted.map((t) => Boolean(store.sessionUser(t))), [false, false, true, true, true]);
});

test('a chat keeps its newest messages within both caps; uploads dropped with them leave the disk', () => {
  const removed = [];
  const store = new Store({ maxMessages: 3, maxChatText: 36, removeFile: (p) => removed.push(p) });
  store.addChat('c', 'C', ['u1']);
  const seeded = store.addFile({ chatId: 'c', name: 'a', path: '/seeded', size: 5 });
  const uploaded = store.addFile({ chatId: 'c', name: 'b', path: '/uploaded', size: 7, uploaded: true });
  assert.equal(store.uploadBytes, 7);
  for (const fileId of [seeded.id, uploaded.id]) store.addMessage('c', { type: 'FILE', senderId: 'u1', fileId });
  for (const content of ['1', '2']) store.addMessage('c', { senderId: 'u1', content });
  const chat = store.chats.get('c');
  assert.deepEqual(chat.messages.map((m) => m.content || m.fileId), [uploaded.id, '1', '2'], 'by count');
  assert.deepEqual(removed, []);
  store.addMessage('c', { senderId: 'u1', content: 'x'.repeat(30) });
  assert.deepEqual(chat.messages.map((m) => m.content.length), [1, 30], 'by text size');
  assert.deepEqual([removed, store.uploadBytes, store.files.has(uploaded.id)], [['/uploaded'], 0, false]);
  store.addMessage('c', { senderId: 'u1', content: 'y'.repeat(100) });
  assert.deepEqual(chat.messages.map((m) => m.content.length), [100], 'the newest always stays');
});
