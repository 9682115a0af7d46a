'use strict';

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { Store, FLOW_TTL_MS } = require('../src/store');
const { parseOptions } = require('../src/options');

function clockedStore(opts = {}) {
  const clock = { t: 1_000_000 };
  const store = new Store({ now: () => clock.t, ...opts });
  store.addUser('u1', 'Анна Соколова');
  return { store, clock };
}

test('sign-in flows expire after ten minutes, by either handle', () => {
  const { store, clock } = clockedStore();
  const flow = store.createFlow();
  const cases = [
    { at: FLOW_TTL_MS - 1, alive: true },
    { at: FLOW_TTL_MS, alive: false },
  ];
  for (const c of cases) {
    clock.t = flow.createdAt + c.at;
    assert.equal(Boolean(store.flowById(flow.id)), c.alive, `by id at ${c.at}`);
    assert.equal(Boolean(store.flowBySecret(flow.secret)), c.alive, `by secret at ${c.at}`);
  }
  assert.equal(store.flows.size, 0, 'expired flows are forgotten');
});

test('flow floods cannot grow memory: the oldest flows make room', () => {
  const { store } = clockedStore({ maxFlows: 5 });
  const flows = Array.from({ length: 8 }, () => store.createFlow());
  assert.equal(store.flows.size, 5);
  assert.equal(store.flowsBySecret.size, 5);
  assert.equal(store.flowById(flows[2].id), null);
  assert.equal(store.flowBySecret(flows[2].secret), null);
  assert.ok(store.flowById(flows[3].id));
});

test('creating a flow sweeps expired ones', () => {
  const { store, clock } = clockedStore();
  for (let i = 0; i < 3; i++) store.createFlow();
  clock.t += FLOW_TTL_MS;
  store.createFlow();
  assert.equal(store.flows.size, 1);
});

test('sessions are capped, but pinned ones from the command line are never dropped', () => {
  const { store } = clockedStore({ maxSessions: 3 });
  store.createSession('u1', 'pinned', { pinned: true });
  const minted = Array.from({ length: 5 }, () => store.createSession('u1').token);
  assert.ok(store.sessionUser('pinned'));
  assert.deepEqual(minted.map((t) => Boolean(store.sessionUser(t))), [false, false, true, true, true]);
});

test('pollFlow mints one session per confirmed flow', () => {
  const { store } = clockedStore();
  const flow = store.createFlow();
  assert.deepEqual(store.pollFlow(flow), { status: 'pending' });
  assert.equal(store.decideFlow(flow, 'confirm', 'u1'), true);
  assert.equal(store.decideFlow(flow, 'deny'), false);
  const first = store.pollFlow(flow);
  const second = store.pollFlow(flow);
  assert.deepEqual([first.status, second.status], ['authenticated', 'claimed']);
  assert.equal(first.token, second.token);
  assert.equal(store.sessions.size, 1);
});

test('command line parsing', () => {
  const ok = parseOptions(['--port', '0', '--session', 'u1:a:b', '--session', 'u2:t', '--grace', '50'], { baseDir: '/srv' });
  assert.equal(ok.port, 0);
  assert.deepEqual(ok.sessions, [{ userId: 'u1', token: 'a:b' }, { userId: 'u2', token: 't' }]);
  assert.equal(ok.grace, 50);
  assert.equal(ok.certsDir, '/srv/certs');
  const defaults = parseOptions([], { baseDir: '/srv' });
  assert.deepEqual(
    [defaults.port, defaults.publicHost, defaults.pingInterval, defaults.pingTimeout, defaults.connectTimeout,
      defaults.grace, defaults.autoConfirmDelay, defaults.bigChatMessages, defaults.extraChats, defaults.filesDir],
    [8443, 'localhost', 25000, 20000, 45000, 20000, 300, 300, 0, null],
  );
  const bad = [
    ['--port', 'abc'], ['--port', '70000'], ['--port', '-1'], ['--grace'], ['--session', 'u1'],
    ['--session', ':tok'], ['--session', 'u1:'], ['--what'], ['stray'], ['--public-host', 'a b/c'],
  ];
  for (const argv of bad) assert.throws(() => parseOptions(argv, { baseDir: '/srv' }), undefined, argv.join(' '));
});
