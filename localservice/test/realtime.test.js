'use strict';

const { test, before, after, afterEach } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const WebSocket = require('ws');
const fs = require('node:fs');
const path = require('node:path');
const { startServer, connect, recorder, once, sleep, waitFor, tempDir, cookieValue, SESSIONS } = require('../test-support/helpers');
const { TOO_MANY_EVENTS } = require('../src/realtime');

const [GRACE, open] = [300, []];
let server;
const restarted = []; // the state-file test's servers, stopped even when it fails
before(async () => { server = await startServer({ args: ['--ping-interval', '200', '--ping-timeout', '300', '--grace', String(GRACE), '--session', 'u3:tok-bye'] }); });
after(() => Promise.all([server, ...restarted].map((s) => s.stop())));
afterEach(() => open.splice(0).forEach((s) => s.close()));
const track = (socket) => open[open.push(socket) - 1];

async function client(userId, token, srv = server) {
  const socket = track(connect(srv, { userId, token }));
  await once(socket, 'connect', 3000, 'connect_error');
  return { socket, userId, rec: recorder(socket), call: (action, f = {}) => socket.emit('native_call', { action, ...f }) };
}
const clients = (...ids) => Promise.all(ids.map((id) => client(id)));
const member = (record, userId) => record.members.find((m) => m.userId === userId);
const is = (id, state) => (r) => r.id === id && r.state === state;
const audio = (c, id, seq) => c.socket.emit('native_audio', { id, pcm: 'AAEC', seq, sentAt: 12345 });
const hangUp = async (cs, id) => { cs.forEach((c) => c.call('leave', { id })); for (const c of cs) await c.rec.barrier(); };
/** What `who` receives (`event` matching `filter`) once `by` sends `action`. */
const reply = (who, event, filter, by, action, fields) => Promise.all([who.rec.next(event, filter), by.call(action, fields)]).then(([got]) => got);
const sync = async (c) => (await reply(c, 'native_calls', undefined, c, 'sync')).items.map((r) => r.id);

/** `caller` rings `chatId`; every client in `all` must receive the same record. */
const ring = (caller, chatId, all) => Promise.all([...all.map((c) => c.rec.next('native_call', (r) => r.chatId === chatId && r.state === 'RINGING')),
  caller.call('invite', { chatId })]).then((records) => all.forEach((_, i) => assert.deepEqual(records[i], records[0])) || records[0]);
const answer = (caller, callee, id) => reply(caller, 'native_call', is(id, 'ACTIVE'), callee, 'accept', { id });

test('connecting needs a live token and the matching user id, over WebSocket only; signing out closes that session\'s connections; floods are cut off', async () => {
  for (const { token, userId } of [{}, { token: 'nope', userId: 'u1' }, { token: SESSIONS.u2, userId: 'u1' }, { token: SESSIONS.u1 }, { token: 123, userId: 'u1' }])
    assert.equal((await once(track(connect(server, { auth: { token }, query: userId ? { userId } : {} })), 'connect_error')).message, 'unauthorized', JSON.stringify({ token, userId }));
  assert.equal((await server.request('GET', '/socket.io/?EIO=4&transport=polling')).status, 400);
  const [bye, keep] = await Promise.all([client('u3', 'tok-bye'), client('u3')]);
  await Promise.all([once(bye.socket, 'disconnect'), server.request('POST', '/auth/flow/web/logout', { token: 'tok-bye' })]);
  assert.deepEqual([(await once(track(connect(server, { userId: 'u3', token: 'tok-bye' })), 'connect_error')).message, keep.socket.connected], ['unauthorized', true]);
  // Ping echoes sentAt; junk gets no reply; a connection flooding events is told why and cut off.
  const [a] = await clients('u1');
  for (const sentAt of [1712345678901, 'text', { nested: [1] }]) assert.deepEqual(await reply(a, 'native_call_pong', undefined, a, 'ping', { sentAt }), { sentAt });
  [null, 42, 'sync', [], { action: 42 }, { action: 'dance' }, { action: 'leave' }, { action: 'decline', id: 'nope' }, { action: 'resume', id: 'nope' },
    { action: 'resume', id: { $ne: 1 } }, undefined].forEach((p) => a.socket.emit('native_call', p));
  a.socket.emit('something_else', { action: 'sync' });
  await a.rec.barrier();
  assert.deepEqual(a.rec.seen.filter((s) => s.event !== 'native_call_pong'), []);
  const [error, gone] = [a.rec.next('native_call_error', () => true, 10000), once(a.socket, 'disconnect', 10000)];
  for (let i = 0; i < 400; i++) a.call('ping', { sentAt: i });
  assert.deepEqual(await Promise.all([error, gone]), [{ message: TOO_MANY_EVENTS }, 'io server disconnect']);
});

test('a group call: invite, accept, decline, leave, the end rule and errors; media reaches only the other joined devices; echo', async () => {
  const [a, b, c, d, a2] = await clients('u1', 'u2', 'u3', 'u4', 'u1');
  const error = (who, action, fields, message) => reply(who, 'native_call_error', undefined, who, action, fields)
    .then((got) => message && assert.deepEqual(got, { message }, `${who.userId} ${action} ${JSON.stringify(fields)}`));
  for (const chatId of ['no-such-chat', 'u2-u3', undefined, ['general']]) await error(a, 'invite', { chatId }, 'Чат не найден');
  const call = await ring(a, 'general', [a, b, c, a2]);
  assert.deepEqual([call.callerId, call.acceptedAt, call.members.map((m) => [m.userId, m.name, m.state, m.deviceId])], ['u1', '', [
    ['u1', 'Анна Соколова', 'JOINED', a.socket.id], ['u2', 'Борис Орлов', 'INVITED', ''], ['u3', 'Вера Лебедева', 'INVITED', '']]]);
  for (const [who, chatId] of [[a, 'u1-u2'], [b, 'u1-u2'], [a, 'general']]) await error(who, 'invite', { chatId }, 'Вы уже участвуете в звонке');
  for (const [who, id] of [[a, 'no-such-call'], [d, call.id]]) await error(who, 'accept', { id });
  assert.deepEqual(await d.rec.barrier().then(() => d.rec.of('native_call')), [], 'outsiders hear nothing');
  for (const x of [a, b, c]) assert.deepEqual(await sync(x), [call.id]);

  const active = await answer(c, b, call.id);
  assert.deepEqual([member(active, 'u2').state, member(active, 'u2').deviceId, Date.parse(active.acceptedAt) > 0], ['JOINED', b.socket.id, true]);
  const [heard, binary, screen, jpeg] = [b.rec.next('native_audio'), a.rec.next('native_audio'), b.rec.next('native_screen'), crypto.randomBytes(175 * 1024)];
  a.socket.emit('native_audio', { id: call.id, pcm: 'AAEC', seq: 7, sentAt: 12345, extra: 'dropped' });
  b.socket.emit('native_audio', { id: call.id, pcm: Buffer.from([1, 2, 250]), seq: 1, sentAt: 1 });
  a.socket.emit('native_screen', { id: call.id, jpeg });
  assert.deepEqual(await heard, { id: call.id, from: 'u1', seq: 7, pcm: 'AAEC', sentAt: 12345 });
  assert.deepEqual([[...(await binary).pcm], (await screen).from, Buffer.compare(Buffer.from((await screen).jpeg), jpeg)], [[1, 2, 250], 'u1', 0]);
  audio(c, call.id, 1); // invited, not joined
  audio(a2, call.id, 2); // joined user, other connection
  audio(a, 'other', 3);
  a.socket.emit('native_audio', 'garbage');
  a.socket.emit('native_screen', null);
  for (const x of [a, b, c, a2]) await x.rec.barrier();
  assert.deepEqual([a, b, c, a2].map((x) => x.rec.of('native_audio').length + x.rec.of('native_screen').length), [1, 2, 0, 0]);
  const declined = await reply(a, 'native_call', (r) => r.id === call.id && member(r, 'u3').state === 'DECLINED', c, 'decline', { id: call.id });
  assert.deepEqual([declined.state, declined.acceptedAt, await sync(c)], ['ACTIVE', active.acceptedAt, []], 'two still talk');
  const ended = b.rec.next('native_call', is(call.id, 'ENDED')); // the one who leaves hears it too
  assert.equal(member(await reply(a, 'native_call', is(call.id, 'ENDED'), b, 'leave', { id: call.id }), 'u2').state, 'LEFT');
  assert.deepEqual(await ended.then(() => sync(a)), []);
  await error(b, 'accept', { id: call.id });
  const one = await ring(a, 'u1-u4', [a, d]);
  assert.equal(member(await reply(a, 'native_call', is(one.id, 'ENDED'), d, 'decline', { id: one.id }), 'u4').state, 'DECLINED', 'a declined one-to-one call ends');
  const [before, before2] = [a.rec.of('native_audio').length, a2.rec.of('native_audio').length];
  // The echo contact answers at once and plays its caller's voice back a second later, until hung up.
  const record = await reply(a, 'native_call', (r) => r.chatId === 'echo-u1', a, 'invite', { chatId: 'echo-u1' });
  assert.deepEqual([record.state, record.members.map((m) => `${m.userId}:${m.state}`)], ['ACTIVE', ['u1:JOINED', 'echo:JOINED']]);
  const [sent, back] = [Date.now(), a.rec.next('native_audio'), audio(a, record.id, 7)];
  assert.deepEqual([await back, Date.now() - sent >= 900], [{ id: record.id, from: 'echo', seq: 7, pcm: 'AAEC', sentAt: 12345 }, true]);
  audio(a, record.id, 8);
  await hangUp([a], record.id).then(() => sleep(1100)).then(() => a.rec.barrier());
  assert.deepEqual([a.rec.of('native_audio').length - before, a2.rec.of('native_audio').length - before2], [1, 0]);
});

test('resume after a reconnect moves the member to the new connection within the grace period; a silent one is dropped', async () => {
  const [a, b] = await clients('u1', 'u2');
  const call = await ring(a, 'u1-u2', [a, b]);
  await answer(a, b, call.id);
  a.socket.close();
  const [a2] = await clients('u1');
  assert.deepEqual(await sync(a2), [call.id]);
  const moved = await reply(b, 'native_call', (r) => r.id === call.id && member(r, 'u1').deviceId === a2.socket.id, a2, 'resume', { id: call.id });
  assert.deepEqual([moved.state, member(moved, 'u1').state], ['ACTIVE', 'JOINED']);
  await sleep(GRACE * 2).then(() => b.rec.barrier());
  assert.ok(!b.rec.of('native_call').some(is(call.id, 'ENDED')), 'the old connection\'s grace period did not end it');
  await Promise.all([b.rec.next('native_audio'), audio(a2, call.id, 1)]);
  await hangUp([a2, b], call.id);
  await reply(a2, 'native_call', is(call.id, 'ENDED'), a2, 'resume', { id: call.id }); // an ended call just shows it ended
  // A bare WebSocket signs in as u2 and accepts, then never answers the server's pings: dropped, it leaves after the grace.
  const [frames, raw] = [[], new WebSocket(`wss://127.0.0.1:${server.port}/socket.io/?EIO=4&transport=websocket&userId=u2`, { ca: server.ca, servername: 'localhost' })];
  raw.on('message', (d) => frames.push(String(d)));
  await once(raw, 'open').then(() => raw.send(`40${JSON.stringify({ token: SESSIONS.u2 })}`));
  assert.ok(await waitFor(() => frames.some((f) => f.startsWith('40{'))));
  const { id } = await ring(a2, 'u1-u2', [a2]);
  await Promise.all([a2.rec.next('native_call', is(id, 'ACTIVE')), raw.send(`42${JSON.stringify(['native_call', { action: 'accept', id }])}`)]);
  assert.equal(member(await a2.rec.next('native_call', is(id, 'ENDED'), 5000), 'u2').state, 'LEFT');
  raw.terminate();
});

test('with a state file a killed service takes back sign-ins and live calls: members resume, a silent one is dropped', async () => {
  const state = path.join(tempDir('tovik-state-'), 'state.json');
  const args = ['--grace', '1500', '--state-file', state];
  const start = async (extra = []) => restarted[restarted.push(await startServer({ certs: restarted[0]?.certs, args: [...args, ...extra] })) - 1];
  const first = await start(['--auto-confirm', 'u3', '--auto-confirm-delay', '0']);
  const flow = cookieValue((await first.request('POST', '/auth/flow/web/start')).headers['set-cookie'], 'tovik_flow');
  const token = await waitFor(async () => cookieValue((await first.request('GET', '/auth/flow/web/status', { cookie: `tovik_flow=${flow.value}` })).headers['set-cookie'], 'tovik_web_session'));
  const [a, b, c] = await Promise.all([client('u1', undefined, first), client('u2', undefined, first), client('u3', token.value, first)]);
  const call = await ring(a, 'general', [a, b, c]);
  await answer(a, b, call.id);
  await reply(a, 'native_call', (r) => r.id === call.id && member(r, 'u3').state === 'JOINED', c, 'accept', { id: call.id });
  assert.ok(await waitFor(() => JSON.parse(fs.readFileSync(state)).calls[0]?.members.every((m) => m.state === 'JOINED')));
  first.child.kill('SIGKILL');
  await first.exited;
  const second = await start();
  const [a2, b2] = await Promise.all([client('u1', undefined, second), client('u2', undefined, second), client('u3', token.value, second)]);
  assert.deepEqual([await sync(a2), fs.statSync(state).mode & 0o777], [[call.id], 0o600]);
  await reply(b2, 'native_call', (r) => member(r, 'u1').deviceId === a2.socket.id, a2, 'resume', { id: call.id });
  await reply(a2, 'native_call', (r) => member(r, 'u2').deviceId === b2.socket.id, b2, 'resume', { id: call.id });
  await Promise.all([b2.rec.next('native_audio'), audio(a2, call.id, 1)]);
  for (let seq = 2; seq < 1000; seq++) audio(a2, call.id, seq); // a backlog after a stall is thinned, the connection kept
  await a2.rec.barrier().then(() => b2.rec.barrier());
  assert.ok(b2.rec.of('native_audio').length > 300 && b2.rec.of('native_audio').length < 1000, 'media past the rate dropped');
  const dropped = await a2.rec.next('native_call', (r) => r.id === call.id && member(r, 'u3').state === 'LEFT', 5000);
  assert.equal(dropped.state, 'ACTIVE');
  await second.stop();
  fs.writeFileSync(state, '{"sessions": 7, "calls": [null, {"id": "x", "chatId": "general", "members": [{}]}]}');
  assert.deepEqual(await sync(await client('u1', undefined, await start())), []);
});
