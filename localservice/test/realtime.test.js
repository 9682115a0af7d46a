'use strict';

const { test, before, after, afterEach } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const WebSocket = require('ws');
const {
  startServer, connect, connected, recorder, once, sleep, SESSIONS,
} = require('../test-support/helpers');
const { TOO_MANY_EVENTS } = require('../src/realtime');

const GRACE = 300;
let server;
const open = [];

before(async () => {
  server = await startServer({ args: ['--ping-interval', '200', '--ping-timeout', '300', '--grace', String(GRACE), '--big-chat-messages', '5'] });
});
after(() => server.stop());
afterEach(() => open.splice(0).forEach((s) => s.close()));

async function client(userId) {
  const socket = await connected(server, { userId });
  open.push(socket);
  return { socket, userId, rec: recorder(socket), call: (action, f = {}) => socket.emit('native_call', { action, ...f }) };
}
const clients = (...ids) => Promise.all(ids.map(client));
const member = (record, userId) => record.members.find((m) => m.userId === userId);
const is = (id, state) => (r) => r.id === id && r.state === state;

async function sync(c) {
  const reply = c.rec.next('native_calls');
  c.call('sync');
  return (await reply).items.map((r) => r.id);
}

/** `caller` rings `chatId`; every client in `all` must receive the same record. */
async function ring(caller, chatId, all) {
  const got = all.map((c) => c.rec.next('native_call', (r) => r.chatId === chatId && r.state === 'RINGING'));
  caller.call('invite', { chatId });
  const records = await Promise.all(got);
  records.forEach((r) => assert.deepEqual(r, records[0]));
  return records[0];
}

async function answer(caller, callee, id) {
  const active = caller.rec.next('native_call', is(id, 'ACTIVE'));
  callee.call('accept', { id });
  return active;
}

async function hangUp(cs, id) {
  cs.forEach((c) => c.call('leave', { id }));
  for (const c of cs) await c.rec.barrier();
}

/** A raw Engine.IO client: frames in and out, nothing answered for us. */
async function rawSocket(userId) {
  const ws = new WebSocket(`wss://127.0.0.1:${server.port}/socket.io/?EIO=4&transport=websocket&userId=${userId}`, { ca: server.ca, servername: 'localhost' });
  const frames = [];
  ws.on('message', (d) => frames.push(d.toString()));
  await once(ws, 'open');
  ws.frame = async (prefix) => {
    for (let i = 0; i < 300; i++) {
      const hit = frames.find((f) => f.startsWith(prefix));
      if (hit) return hit;
      await sleep(10);
    }
    throw new Error(`no frame ${prefix} in ${frames}`);
  };
  return ws;
}

test('the handshake needs a live token and the matching user id', async () => {
  const cases = [{}, { token: 'nope', userId: 'u1' }, { token: SESSIONS.u2, userId: 'u1' }, { token: SESSIONS.u1 }, { token: 123, userId: 'u1' }];
  for (const { token, userId } of cases) {
    const socket = connect(server, { auth: { token }, query: userId ? { userId } : {} });
    open.push(socket);
    assert.equal((await once(socket, 'connect_error')).message, 'unauthorized', JSON.stringify({ token, userId }));
  }
  const raw = await rawSocket('u1');
  try {
    const opened = JSON.parse((await raw.frame('0')).slice(1));
    assert.deepEqual([opened.upgrades, opened.pingInterval, opened.maxPayload], [[], 200, 1e6]);
    raw.send(`40${JSON.stringify({ token: 'bad' })}`);
    assert.equal(await raw.frame('44'), '44{"message":"unauthorized"}');
  } finally {
    raw.terminate();
  }
  assert.equal((await server.request('GET', '/socket.io/?EIO=4&transport=polling')).status, 400, 'WebSocket only');
});

test('a group call: invite, accept, decline, leave and the end rule', async () => {
  const [a, b, c, d] = await clients('u1', 'u2', 'u3', 'u4');
  const call = await ring(a, 'general', [a, b, c]);
  assert.deepEqual([call.callerId, call.acceptedAt], ['u1', '']);
  assert.deepEqual(call.members.map((m) => [m.userId, m.name, m.state, m.deviceId]), [
    ['u1', 'Анна Соколова', 'JOINED', a.socket.id], ['u2', 'Борис Орлов', 'INVITED', ''], ['u3', 'Вера Лебедева', 'INVITED', ''],
  ]);
  await d.rec.barrier();
  assert.deepEqual(d.rec.of('native_call'), [], 'outsiders hear nothing');
  for (const x of [a, b, c]) assert.deepEqual(await sync(x), [call.id]);

  const active = await answer(c, b, call.id);
  assert.deepEqual([member(active, 'u2').state, member(active, 'u2').deviceId], ['JOINED', b.socket.id]);
  assert.match(active.acceptedAt, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$/);

  const declined = a.rec.next('native_call', (r) => r.id === call.id && member(r, 'u3').state === 'DECLINED');
  c.call('decline', { id: call.id });
  assert.deepEqual([(await declined).state, (await declined).acceptedAt], ['ACTIVE', active.acceptedAt], 'two still talk');
  assert.deepEqual(await sync(c), []);

  const ended = [a, b].map((x) => x.rec.next('native_call', is(call.id, 'ENDED')));
  b.call('leave', { id: call.id });
  assert.equal(member(await ended[0], 'u2').state, 'LEFT');
  await ended[1]; // the one who left hears it too
  assert.deepEqual(await sync(a), []);
});

test('call errors', async () => {
  const [a, b, c] = await clients('u1', 'u2', 'u3');
  const expectError = async (who, action, fields, message) => {
    const err = who.rec.next('native_call_error');
    who.call(action, fields);
    const got = await err;
    if (message) assert.deepEqual(got, { message }, `${who.userId} ${action} ${JSON.stringify(fields)}`);
  };
  for (const chatId of ['no-such-chat', 'u2-u3', undefined, ['general']]) await expectError(a, 'invite', { chatId }, 'Чат не найден');
  const call = await ring(a, 'u1-u2', [a, b]);
  for (const [who, chatId] of [[a, 'general'], [b, 'general'], [a, 'u1-u2']]) {
    await expectError(who, 'invite', { chatId }, 'Вы уже участвуете в звонке');
  }
  await expectError(a, 'accept', { id: 'no-such-call' });
  await expectError(c, 'accept', { id: call.id }); // not a member
  const ended = a.rec.next('native_call', is(call.id, 'ENDED'));
  b.call('decline', { id: call.id });
  assert.equal(member(await ended, 'u2').state, 'DECLINED', 'a declined one-to-one call ends');
  await expectError(b, 'accept', { id: call.id });
});

test('media reaches only the other joined devices', async () => {
  const [a, b, c, a2] = await clients('u1', 'u2', 'u3', 'u1');
  const call = await ring(a, 'general', [a, b, c, a2]);
  await answer(a, b, call.id);

  const audio = b.rec.next('native_audio');
  a.socket.emit('native_audio', { id: call.id, pcm: 'AAEC', seq: 7, sentAt: 12345, extra: 'dropped' });
  assert.deepEqual(await audio, { id: call.id, from: 'u1', seq: 7, pcm: 'AAEC', sentAt: 12345 });
  const binary = a.rec.next('native_audio');
  b.socket.emit('native_audio', { id: call.id, pcm: Buffer.from([1, 2, 250]), seq: 1, sentAt: 1 });
  assert.deepEqual([...(await binary).pcm], [1, 2, 250]);
  const jpeg = crypto.randomBytes(175 * 1024);
  const screen = b.rec.next('native_screen');
  a.socket.emit('native_screen', { id: call.id, jpeg });
  const frame = await screen;
  assert.deepEqual([frame.from, Buffer.compare(Buffer.from(frame.jpeg), jpeg)], ['u1', 0]);

  c.socket.emit('native_audio', { id: call.id, pcm: 'x', seq: 1 }); // invited, not joined
  a2.socket.emit('native_audio', { id: call.id, pcm: 'x', seq: 2 }); // joined user, other connection
  a.socket.emit('native_audio', { id: 'other', pcm: 'x', seq: 3 });
  a.socket.emit('native_audio', 'garbage');
  a.socket.emit('native_screen', null);
  for (const x of [a, b, c, a2]) await x.rec.barrier();
  const media = (x) => x.rec.of('native_audio').length + x.rec.of('native_screen').length;
  assert.deepEqual([media(a), media(b), media(c), media(a2)], [1, 2, 0, 0]);
  await hangUp([a, b], call.id);
});

test('the echo contact answers at once and plays back its caller\'s voice a second later', async () => {
  const [a, a2] = await clients('u1', 'u1');
  const active = a.rec.next('native_call', (r) => r.chatId === 'echo-u1');
  a.call('invite', { chatId: 'echo-u1' });
  const record = await active;
  assert.deepEqual([record.state, record.members.map((m) => `${m.userId}:${m.state}`)],
    ['ACTIVE', ['u1:JOINED', 'echo:JOINED']]);
  const sent = Date.now();
  const back = a.rec.next('native_audio');
  a.socket.emit('native_audio', { id: record.id, pcm: 'AAEC', seq: 7, sentAt: 12345 });
  assert.deepEqual(await back, { id: record.id, from: 'echo', seq: 7, pcm: 'AAEC', sentAt: 12345 });
  assert.ok(Date.now() - sent >= 900, 'came back too early');
  // After the caller hangs up, nothing more comes back.
  a.socket.emit('native_audio', { id: record.id, pcm: 'AAEC', seq: 8, sentAt: 1 });
  await hangUp([a], record.id);
  await sleep(1200);
  await a.rec.barrier();
  assert.deepEqual([a.rec.of('native_audio').length, a2.rec.of('native_audio').length], [1, 0]);
});

test('ping echoes sentAt; junk is ignored without a reply', async () => {
  const [a] = await clients('u1');
  for (const sentAt of [1712345678901, 'text', { nested: [1] }]) {
    const pong = a.rec.next('native_call_pong');
    a.call('ping', { sentAt });
    assert.deepEqual(await pong, { sentAt });
  }
  const junk = [null, 42, 'sync', [], { action: 42 }, { action: 'dance' }, { action: 'leave' },
    { action: 'decline', id: 'nope' }, { action: 'resume', id: 'nope' }, { action: 'resume', id: { $ne: 1 } }];
  junk.forEach((p) => a.socket.emit('native_call', p));
  a.socket.emit('native_call');
  a.socket.emit('something_else', { action: 'sync' });
  await a.rec.barrier();
  assert.deepEqual(a.rec.seen.filter((s) => s.event !== 'native_call_pong'), []);
});

test('a connection flooding events is told why and cut off', async () => {
  const [a] = await clients('u1');
  const error = a.rec.next('native_call_error', () => true, 10000);
  const gone = once(a.socket, 'disconnect', 10000);
  for (let i = 0; i < 400; i++) a.call('ping', { sentAt: i });
  assert.deepEqual(await error, { message: TOO_MANY_EVENTS });
  await gone;

});

test('resume after a reconnect moves the member to the new connection', async () => {
  const [a, b] = await clients('u1', 'u2');
  const call = await ring(a, 'u1-u2', [a, b]);
  await answer(a, b, call.id);
  a.socket.close();
  const [a2] = await clients('u1');
  assert.deepEqual(await sync(a2), [call.id]);
  const moved = b.rec.next('native_call', (r) => r.id === call.id && member(r, 'u1').deviceId === a2.socket.id);
  a2.call('resume', { id: call.id });
  assert.deepEqual([(await moved).state, member(await moved, 'u1').state], ['ACTIVE', 'JOINED']);

  await sleep(GRACE * 2);
  await b.rec.barrier();
  assert.ok(!b.rec.of('native_call').some(is(call.id, 'ENDED')), 'the old connection\'s grace period did not end it');
  const relayed = b.rec.next('native_audio');
  a2.socket.emit('native_audio', { id: call.id, pcm: 'AA', seq: 1, sentAt: 1 });
  await relayed;

  await hangUp([a2, b], call.id);
  const seen = a2.rec.next('native_call', is(call.id, 'ENDED'));
  a2.call('resume', { id: call.id });
  await seen; // resuming an ended call just shows it ended
});

test('a dropped device that does not come back leaves after the grace period', async () => {
  const [a, d] = await clients('u1', 'u4');
  const call = await ring(a, 'u1-u4', [a, d]);
  await answer(a, d, call.id);
  const started = Date.now();
  const ended = a.rec.next('native_call', is(call.id, 'ENDED'), 5000);
  d.socket.close();
  assert.equal(member(await ended, 'u4').state, 'LEFT');
  assert.ok(Date.now() - started >= GRACE - 20);
});

test('a connection that stops answering pings is dropped, then leaves', async () => {
  const [a] = await clients('u1');
  const raw = await rawSocket('u2');
  try {
    raw.send(`40${JSON.stringify({ token: SESSIONS.u2 })}`);
    await raw.frame('40{');
    const ringing = a.rec.next('native_call', (r) => r.chatId === 'u1-u2');
    a.call('invite', { chatId: 'u1-u2' });
    const { id } = await ringing;
    const active = a.rec.next('native_call', is(id, 'ACTIVE'));
    raw.send(`42${JSON.stringify(['native_call', { action: 'accept', id }])}`);
    await active;
    assert.equal(member(await a.rec.next('native_call', is(id, 'ENDED'), 5000), 'u2').state, 'LEFT');
  } finally {
    raw.terminate();
  }
});

test('signing out closes that session\'s connections only', async () => {
  const other = await startServer({ certs: server.certs, args: ['--session', 'u3:tok-bye'] });
  try {
    const bye = await connected(other, { userId: 'u3', token: 'tok-bye' });
    const keep = await connected(other, { userId: 'u3' });
    const dropped = once(bye, 'disconnect');
    await other.request('POST', '/auth/flow/web/logout', { token: 'tok-bye' });
    await dropped;
    const retry = connect(other, { userId: 'u3', token: 'tok-bye' });
    assert.equal((await once(retry, 'connect_error')).message, 'unauthorized');
    assert.ok(keep.connected);
    [retry, keep].forEach((s) => s.close());
  } finally {
    await other.stop();
  }
});
