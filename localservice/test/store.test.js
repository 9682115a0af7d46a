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
