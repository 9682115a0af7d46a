'use strict';

const { test, before, after, afterEach } = require('node:test');
const assert = require('node:assert/strict');
const WebSocket = require('ws');
const {
  startServer, connect, connected, recorder, once, sleep, SESSIONS,
} = require('../test-support/helpers');

const GRACE = 300;
let server;
const open = [];

before(async () => {
  server = await startServer({
    args: ['--ping-interval', '200', '--ping-timeout', '300', '--grace', String(GRACE), '--big-chat-messages', '5'],
  });
});
after(() => server && server.stop());
afterEach(() => {
  while (open.length) open.pop().close();
});

/** A connected client for a seed user, with every received event recorded. */
async function client(userId) {
  const socket = await connected(server, { userId });
  open.push(socket);
  const rec = recorder(socket);
  const call = (action, fields = {}) => socket.emit('native_call', { action, ...fields });
  return { socket, rec, call, userId };
}

const forCall = (id, state) => (r) => r.id === id && (!state || r.state === state);
const member = (record, userId) => record.members.find((m) => m.userId === userId);

async function sync(c) {
  const reply = c.rec.next('native_calls');
  c.call('sync');
  return (await reply).items;
}

/** u1 invites `chatId`; resolves with the record every listed client received. */
async function invite(caller, chatId, others = []) {
  const seen = [caller, ...others].map((c) => c.rec.next('native_call', (r) => r.chatId === chatId && r.state === 'RINGING'));
  caller.call('invite', { chatId });
  const records = await Promise.all(seen);
  for (const r of records) assert.deepEqual(r, records[0]);
  return records[0];
}

/** Settles everyone's calls so the next test starts clean. */
async function hangUp(clients, callId) {
  for (const c of clients) c.call('leave', { id: callId });
  for (const c of clients) await c.rec.barrier();
}

test('the handshake needs a live token and the matching user id', async () => {
  const cases = [
    { why: 'no auth at all', opts: { auth: {}, query: {} } },
    { why: 'unknown token', opts: { auth: { token: 'nope' }, query: { userId: 'u1' } } },
    { why: 'token of another user', opts: { auth: { token: SESSIONS.u2 }, query: { userId: 'u1' } } },
    { why: 'no user id', opts: { auth: { token: SESSIONS.u1 }, query: {} } },
    { why: 'token of wrong type', opts: { auth: { token: 123 }, query: { userId: 'u1' } } },
  ];
  for (const c of cases) {
    const socket = connect(server, c.opts);
    open.push(socket);
    const err = await once(socket, 'connect_error');
    assert.equal(err.message, 'unauthorized', c.why);
  }
  const ok = await connected(server, { userId: 'u1' });
  open.push(ok);
  assert.ok(ok.id);
});

test('raw frames: the refusal is a "44" packet, and only WebSocket is offered', async () => {
  const url = `wss://127.0.0.1:${server.port}/socket.io/?EIO=4&transport=websocket&userId=u1`;
  const ws = new WebSocket(url, { ca: server.ca, servername: 'localhost' });
  const frames = [];
  const got = (pred) => new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`frames so far: ${frames}`)), 3000);
    const check = () => {
      const hit = frames.find(pred);
      if (hit) { clearTimeout(timer); ws.off('message', check); resolve(hit); }
    };
    ws.on('message', check);
    check();
  });
  ws.on('message', (d) => frames.push(d.toString()));
  try {
    const openPacket = JSON.parse((await got((f) => f.startsWith('0'))).slice(1));
    assert.deepEqual(openPacket.upgrades, []);
    assert.equal(openPacket.pingInterval, 200);
    assert.equal(openPacket.maxPayload, 1e6);
    ws.send(`40${JSON.stringify({ token: 'bad' })}`);
    const refusal = await got((f) => f.startsWith('44'));
    assert.deepEqual(JSON.parse(refusal.slice(2)), { message: 'unauthorized' });
  } finally {
    ws.terminate();
  }
  const polling = await server.request('GET', '/socket.io/?EIO=4&transport=polling');
  assert.equal(polling.status, 400);
});

test('invite, accept, decline and leave across a group chat', async () => {
  const [a, b, c, d] = await Promise.all(['u1', 'u2', 'u3', 'u4'].map(client));
  assert.deepEqual(await sync(a), []);

  const ringing = await invite(a, 'general', [b, c]);
  assert.equal(ringing.callerId, 'u1');
  assert.equal(ringing.acceptedAt, '');
  assert.match(ringing.createdAt, /Z$/);
  assert.deepEqual(ringing.members.map((m) => [m.userId, m.state, m.deviceId]), [
    ['u1', 'JOINED', a.socket.id], ['u2', 'INVITED', ''], ['u3', 'INVITED', ''],
  ]);
  assert.equal(member(ringing, 'u2').name, 'Борис Орлов');
  await d.rec.barrier();
  assert.equal(d.rec.of('native_call').length, 0, 'outsiders hear nothing');
  for (const x of [a, b, c]) assert.deepEqual((await sync(x)).map((r) => r.id), [ringing.id]);

  const active = b.rec.next('native_call', forCall(ringing.id, 'ACTIVE'));
  const activeForC = c.rec.next('native_call', forCall(ringing.id, 'ACTIVE'));
  b.call('accept', { id: ringing.id });
  const accepted = await active;
  await activeForC;
  assert.deepEqual([member(accepted, 'u2').state, member(accepted, 'u2').deviceId], ['JOINED', b.socket.id]);
  assert.match(accepted.acceptedAt, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$/);

  const declined = a.rec.next('native_call', (r) => r.id === ringing.id && member(r, 'u3').state === 'DECLINED');
  c.call('decline', { id: ringing.id });
  const afterDecline = await declined;
  assert.equal(afterDecline.state, 'ACTIVE', 'two people still talk');
  assert.equal(afterDecline.acceptedAt, accepted.acceptedAt, 'acceptedAt is set once');
  assert.deepEqual(await sync(c), []);

  const ended = a.rec.next('native_call', forCall(ringing.id, 'ENDED'));
  const endedForLeaver = b.rec.next('native_call', forCall(ringing.id, 'ENDED'));
  b.call('leave', { id: ringing.id });
  assert.equal(member(await ended, 'u2').state, 'LEFT');
  await endedForLeaver;
  assert.deepEqual(await sync(a), []);
});

test('invite errors', async () => {
  const [a, b] = await Promise.all(['u1', 'u2'].map(client));
  const cases = [
    { payload: { chatId: 'no-such-chat' }, message: 'Чат не найден' },
    { payload: { chatId: 'u2-u3' }, message: 'Чат не найден' },
    { payload: {}, message: 'Чат не найден' },
    { payload: { chatId: ['general'] }, message: 'Чат не найден' },
  ];
  for (const c of cases) {
    const err = a.rec.next('native_call_error');
    a.call('invite', c.payload);
    assert.deepEqual(await err, { message: c.message }, JSON.stringify(c.payload));
  }
  const call = await invite(a, 'u1-u2', [b]);
  for (const [who, chatId] of [[a, 'general'], [b, 'general'], [a, 'u1-u2']]) {
    const err = who.rec.next('native_call_error');
    who.call('invite', { chatId });
    assert.deepEqual(await err, { message: 'Вы уже участвуете в звонке' }, `${who.userId} → ${chatId}`);
  }
  for (const [action, id] of [['accept', 'no-such-call'], ['accept', undefined]]) {
    const err = a.rec.next('native_call_error');
    a.call(action, { id });
    assert.equal(typeof (await err).message, 'string');
  }
  // Someone outside the call cannot accept it either.
  const c = await client('u3');
  const refused = c.rec.next('native_call_error');
  c.call('accept', { id: call.id });
  await refused;

  const ended = a.rec.next('native_call', forCall(call.id, 'ENDED'));
  b.call('decline', { id: call.id });
  assert.equal(member(await ended, 'u2').state, 'DECLINED', 'a declined one-to-one call ends');
  const errAfterEnd = b.rec.next('native_call_error');
  b.call('accept', { id: call.id });
  await errAfterEnd;
});

test('media goes only to the other joined devices', async () => {
  const [a, b, c] = await Promise.all(['u1', 'u2', 'u3'].map(client));
  const aSecond = await client('u1');
  const call = await invite(a, 'general', [b, c]);
  const active = a.rec.next('native_call', forCall(call.id, 'ACTIVE'));
  b.call('accept', { id: call.id });
  await active;

  const audio = b.rec.next('native_audio');
  a.socket.emit('native_audio', { id: call.id, pcm: 'AAEC', seq: 7, sentAt: 12345 });
  assert.deepEqual(await audio, { id: call.id, from: 'u1', seq: 7, pcm: 'AAEC', sentAt: 12345 });

  const binary = a.rec.next('native_audio');
  const pcm = Buffer.from([1, 2, 3, 250]);
  b.socket.emit('native_audio', { id: call.id, pcm, seq: 1, sentAt: 1 });
  assert.deepEqual(Buffer.from((await binary).pcm), pcm, 'binary frames survive');

  const jpeg = Buffer.alloc(175 * 1024, 0x5a);
  const screen = b.rec.next('native_screen');
  a.socket.emit('native_screen', { id: call.id, jpeg });
  const frame = await screen;
  assert.equal(frame.from, 'u1');
  assert.equal(Buffer.compare(Buffer.from(frame.jpeg), jpeg), 0);

  // Not joined, not the joined device, or not this call: dropped.
  c.socket.emit('native_audio', { id: call.id, pcm: 'x', seq: 1, sentAt: 1 });
  aSecond.socket.emit('native_audio', { id: call.id, pcm: 'x', seq: 2, sentAt: 1 });
  a.socket.emit('native_audio', { id: 'other-call', pcm: 'x', seq: 3, sentAt: 1 });
  a.socket.emit('native_audio', 'garbage');
  a.socket.emit('native_screen', null);
  for (const x of [a, b, c, aSecond]) await x.rec.barrier();
  assert.equal(b.rec.of('native_audio').length, 1, 'only the first frame reached u2');
  assert.equal(c.rec.of('native_audio').length + c.rec.of('native_screen').length, 0, 'invited member gets no media');
  assert.equal(a.rec.of('native_screen').length, 0, 'no echo to the sender');
  assert.equal(aSecond.rec.of('native_audio').length + aSecond.rec.of('native_screen').length, 0,
    'a second connection of a joined user is not its device');
  assert.ok(aSecond.rec.of('native_call').some((r) => r.id === call.id), 'but it does get the call records');
  await hangUp([a, b, c], call.id);
});

test('ping answers with the same sentAt; junk payloads are ignored', async () => {
  const a = await client('u1');
  for (const sentAt of [1712345678901, 'text', { nested: [1] }]) {
    const pong = a.rec.next('native_call_pong');
    a.call('ping', { id: 'whatever', sentAt });
    assert.deepEqual(await pong, { sentAt });
  }
  const junk = [null, 42, 'sync', [], ['sync'], { action: 42 }, { action: 'dance' }, { action: 'leave' },
    { action: 'decline', id: 'nope' }, { action: 'resume', id: 'nope' }, { action: 'resume', id: { $gt: '' } }];
  for (const payload of junk) a.socket.emit('native_call', payload);
  a.socket.emit('some_other_event', { action: 'sync' });
  a.socket.emit('native_call');
  await a.rec.barrier();
  assert.deepEqual(a.rec.seen.filter((s) => s.event !== 'native_call_pong'), [], 'junk gets no reply');
  assert.deepEqual(await sync(a), []);
  assert.ok(a.socket.connected);
});

test('resume after a reconnect moves the call to the new connection', async () => {
  const [a, b] = await Promise.all(['u1', 'u2'].map(client));
  const call = await invite(a, 'u1-u2', [b]);
  const active = a.rec.next('native_call', forCall(call.id, 'ACTIVE'));
  b.call('accept', { id: call.id });
  await active;

  const oldDevice = a.socket.id;
  a.socket.close();
  const a2 = await client('u1');
  assert.notEqual(a2.socket.id, oldDevice);
  assert.deepEqual((await sync(a2)).map((r) => r.id), [call.id]);
  const resumed = b.rec.next('native_call', (r) => r.id === call.id && member(r, 'u1').deviceId === a2.socket.id);
  a2.call('resume', { id: call.id });
  const record = await resumed;
  assert.deepEqual([record.state, member(record, 'u1').state], ['ACTIVE', 'JOINED']);

  // The grace timer of the dropped connection must not fire any more.
  await sleep(GRACE * 2);
  await b.rec.barrier();
  assert.ok(!b.rec.of('native_call').some((r) => r.id === call.id && r.state === 'ENDED'));

  const relayed = b.rec.next('native_audio');
  a2.socket.emit('native_audio', { id: call.id, pcm: 'AA', seq: 1, sentAt: 1 });
  assert.equal((await relayed).from, 'u1', 'media flows from the new device');
  await hangUp([a2, b], call.id);

  // Resuming an ended call shows it as ended to that connection only.
  const seen = a2.rec.next('native_call', forCall(call.id, 'ENDED'));
  a2.call('resume', { id: call.id });
  await seen;
});

test('a dropped device that does not come back leaves after the grace period', async () => {
  const [a, b] = await Promise.all(['u1', 'u4'].map(client));
  const call = await invite(a, 'u1-u4', [b]);
  const active = a.rec.next('native_call', forCall(call.id, 'ACTIVE'));
  b.call('accept', { id: call.id });
  await active;

  const started = Date.now();
  const ended = a.rec.next('native_call', forCall(call.id, 'ENDED'), 5000);
  b.socket.close();
  const record = await ended;
  const waited = Date.now() - started;
  assert.equal(member(record, 'u4').state, 'LEFT');
  assert.ok(waited >= GRACE - 50, `left only after the grace period (${waited} ms)`);
});

test('a silent connection is dropped by the ping timeout and then leaves', async () => {
  const a = await client('u1');
  // A raw client that connects, joins a call and then stops answering pings.
  const ws = new WebSocket(`wss://127.0.0.1:${server.port}/socket.io/?EIO=4&transport=websocket&userId=u2`, {
    ca: server.ca, servername: 'localhost',
  });
  try {
    const frames = [];
    ws.on('message', (d) => frames.push(d.toString()));
    await once(ws, 'open');
    ws.send(`40${JSON.stringify({ token: SESSIONS.u2 })}`);
    for (let i = 0; i < 100 && !frames.some((f) => f.startsWith('40')); i++) await sleep(10);
    assert.ok(frames.some((f) => f.startsWith('40{')), 'connected');
    const ringing = a.rec.next('native_call', (r) => r.chatId === 'u1-u2');
    a.call('invite', { chatId: 'u1-u2' });
    const call = await ringing;
    const active = a.rec.next('native_call', forCall(call.id, 'ACTIVE'));
    ws.send(`42${JSON.stringify(['native_call', { action: 'accept', id: call.id }])}`);
    await active;
    const ended = a.rec.next('native_call', forCall(call.id, 'ENDED'), 5000);
    assert.equal(member(await ended, 'u2').state, 'LEFT');
  } finally {
    ws.terminate();
  }
});

test('signing out drops that session\'s realtime connections', async () => {
  const token = 'tok-logout-test';
  const other = await startServer({ certs: server.certsDir, args: ['--session', `u3:${token}`] });
  try {
    const socket = await connected(other, { userId: 'u3', token });
    const keep = await connected(other, { userId: 'u1' });
    const dropped = once(socket, 'disconnect');
    const res = await other.request('POST', '/auth/flow/web/logout', { token });
    assert.equal(res.status, 200);
    await dropped;
    const retry = connect(other, { userId: 'u3', token });
    assert.equal((await once(retry, 'connect_error')).message, 'unauthorized');
    retry.close();
    assert.ok(keep.connected, 'other sessions stay');
    keep.close();
  } finally {
    await other.stop();
  }
});
