'use strict';

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { Store, FLOW_TTL_MS } = require('../src/store');

test('flows expire after ten minutes and are swept; floods are bounded, pinned sessions stay; a chat keeps its newest messages within both caps', () => {
  const [clock, removed] = [{ t: 1_000_000 }, []];
  const store = new Store({ now: () => clock.t, maxFlows: 5, maxSessions: 3, maxMessages: 3, maxChatText: 36, removeFile: (p) => removed.push(p) });
  const flow = store.createFlow();
  for (const [age, alive] of [[FLOW_TTL_MS - 1, true], [FLOW_TTL_MS, false]]) {
    clock.t = flow.createdAt + age;
    assert.deepEqual([Boolean(store.flowById(flow.id)), Boolean(store.flowBySecret(flow.secret))], [alive, alive], `at ${age}`);
  }
  const flows = Array.from({ length: 8 }, () => store.createFlow());
  assert.deepEqual([store.flows.size, store.flowsBySecret.size, ...flows.map((f) => Boolean(store.flowBySecret(f.secret)))],
    [5, 5, false, false, false, true, true, true, true, true], 'the expired one swept, the oldest made room');
  store.addUser('u1', 'Анна Соколова');
  store.createSession('u1', 'pinned', { pinned: true });
  const minted = Array.from({ length: 5 }, () => store.createSession('u1').token);
  assert.deepEqual(['pinned', ...minted].map((t) => Boolean(store.sessionUser(t))), [true, false, false, true, true, true]);
  // Uploads dropped with old messages leave the disk.
  store.addChat('c', 'C', ['u1']);
  const [seeded, uploaded] = [['/seeded', false], ['/uploaded', true]].map(([p, up]) => store.addFile({ chatId: 'c', name: 'f', path: p, size: 7, uploaded: up }));
  const add = (m) => store.addMessage('c', { senderId: 'u1', ...m }) && store.chats.get('c').messages.map((x) => x.content || x.fileId);
  [seeded, uploaded].forEach((f) => add({ type: 'FILE', fileId: f.id }));
  add({ content: '1' });
  assert.deepEqual([add({ content: '2' }), removed, store.uploadBytes], [[uploaded.id, '1', '2'], [], 7], 'by count');
  assert.deepEqual([add({ content: 'x'.repeat(30) }), removed, store.uploadBytes, store.files.has(uploaded.id)], [['2', 'x'.repeat(30)], ['/uploaded'], 0, false]);
  assert.deepEqual(add({ content: 'y'.repeat(100) }), ['y'.repeat(100)], 'the newest always stays');
});
