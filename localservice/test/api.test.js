'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { startServer, cookieValue, makeCerts, tempDir, waitFor, SESSIONS } = require('../test-support/helpers');

const [LIMIT, B] = [25 * 1024 * 1024, 'tovikBoundary7MA4YWxkTrZu0gW'];
const TYPE = { 'Content-Type': `multipart/form-data; boundary=${B}` };
const [filesDir, quotaDir, bigFile] = [tempDir('tovik-files-'), tempDir('tovik-quota-'), path.join(tempDir('tovik-big-'), 'Большой файл.bin')];
let server, other; // a session per seed user; the other also signs new flows in by itself and has a small upload quota
before(async () => {
  const certs = makeCerts();
  fs.writeFileSync(bigFile, crypto.randomBytes(3 * 1024 * 1024 + 17));
  [server, other] = await Promise.all([
    startServer({ certs, args: ['--files-dir', filesDir, '--big-file', bigFile, '--big-chat-messages', '40', '--extra-chats', '2'] }),
    startServer({ certs, args: ['--auto-confirm', 'u4,u2', '--auto-confirm-delay', '150',
      '--public-host', 'tovik.test', '--files-dir', quotaDir, '--upload-quota', '100000', '--big-chat-messages', '3'] })]);
});
after(() => Promise.all([server.stop(), other.stop()]));

async function startFlow(srv = server) {
  const res = await srv.request('POST', '/auth/flow/web/start');
  const flow = cookieValue(res.headers['set-cookie'], 'tovik_flow');
  return { res, flow, cookie: `tovik_flow=${flow.value}`, flowId: decodeURIComponent(new URL(res.json.qrUrl).pathname.split('/')[2]) };
}
const poll = (cookie, srv = server) => srv.request('GET', '/auth/flow/web/status', { cookie });
const decide = (flowId, fields) => server.request('POST', `/confirm/${encodeURIComponent(flowId)}`,
  { headers: { 'Content-Type': 'application/x-www-form-urlencoded' }, body: new URLSearchParams(fields).toString() });
const me = (token, srv = server) => srv.request('GET', '/auth/flow/web/me', { token });
const get = (url, user) => server.request('GET', url, { token: SESSIONS[user] });
const messages = (chat, user, opts = {}) => server.request(opts.body ? 'POST' : 'GET',
  `/auth/flow/web/chats/${encodeURIComponent(chat)}/messages`, { token: SESSIONS[user], headers: { 'Content-Type': 'application/json' }, ...opts });
const head = (name, field = 'file') => Buffer.from(`--${B}\r\nContent-Disposition: form-data; name="${field}"; filename="${name}"\r\n\r\n`);
const TAIL = Buffer.from(`\r\n--${B}--\r\n`);
const sha = (buf) => crypto.createHash('sha256').update(buf).digest('hex');
const uploads = (dir = filesDir) => fs.readdirSync(dir).filter((f) => f !== 'notes.txt');

/** Uploads `data` (a Buffer or that many bytes) or what `write` sends; `declared` overrides the Content-Length. */
function upload(chat, data, { srv = server, token = SESSIONS.u1, name = 'data.bin', field, write, declared } = {}) {
  const [h, body] = [head(name, field), typeof data === 'number' ? Buffer.alloc(data, 7) : data];
  return srv.request('POST', `/auth/flow/web/chats/${encodeURIComponent(chat)}/files`, { token, headers: { ...TYPE, 'Content-Length': declared ?? h.length + body.length + TAIL.length },
    body: (req) => (write ? write(req, h) : req.end(Buffer.concat([h, body, TAIL]))) });
}

test('QR sign-in: pending, confirmed on the phone page, authenticated once, claimed, signed out; refused decisions', async () => {
  let { res, flow, cookie, flowId } = await startFlow();
  assert.deepEqual([flow.attrs, flow.value === flowId], [['Secure', 'HttpOnly', 'Path=/', 'SameSite=Lax'], false], 'the QR link cannot claim it');
  assert.deepEqual((await poll(cookie)).json, { status: 'pending' });
  const page = (await server.request('GET', `/confirm/${encodeURIComponent(flowId)}`)).text;
  assert.ok([res.json.code, 'value="u4"', 'value="confirm"', 'value="deny"'].every((needle) => page.includes(needle)));
  assert.equal((await decide(flowId, { user: 'u2', action: 'confirm' })).status, 200);
  const [first, again] = [await poll(cookie), await poll(cookie)];
  const session = cookieValue(first.headers['set-cookie'], 'tovik_web_session');
  assert.deepEqual([first.json, session.attrs, /^[A-Za-z0-9_-]{43}$/.test(session.value)], [{ status: 'authenticated' }, ['Secure', 'HttpOnly', 'Path=/'], true]);
  assert.deepEqual([again.json, cookieValue(again.headers['set-cookie'], 'tovik_web_session').value], [{ status: 'claimed' }, session.value]);
  assert.deepEqual((await me(session.value)).json, { user: { id: 'u2', name: 'Борис Орлов' } });
  assert.equal((await decide(flowId, { user: 'u1', action: 'confirm' })).status, 409, 'the first decision stands');
  assert.equal((await server.request('POST', '/auth/flow/web/logout', { token: session.value })).json.ok, true);
  for (const t of [session.value, undefined, 'garbage']) assert.deepEqual(await me(t).then((r) => [r.status, r.json]), [401, { message: 'Требуется вход' }]);
  // Denied, malformed and unknown decisions and flows.
  ({ cookie, flowId } = await startFlow());
  const cases = [[{ user: 'u1', action: 'maybe' }, 400], [{ user: 'u1' }, 400], [{ user: '<script>', action: 'confirm' }, 400],
    [{ user: 'u1', action: 'confirm', pad: 'x'.repeat(20000) }, 413], [{ action: 'deny' }, 200], [{ user: 'u1', action: 'confirm' }, 409],
  ].map(([fields, status]) => [() => decide(flowId, fields), status]).concat([[() => poll(undefined), 400, true], [() => poll('tovik_flow=nope'), 404, true],
    [() => server.request('GET', '/confirm/%3Cb%3Enope'), 404], [() => decide('nope', { user: 'u1', action: 'confirm' }), 404]]);
  for (const [run, status, json] of cases)
    assert.deepEqual(await run().then((r) => [r.status, json ? typeof r.json.message : /<script>|<b>/.test(r.text)]), [status, json ? 'string' : false], run.toString());
  assert.deepEqual(await poll(cookie).then((r) => [r.json, r.headers['set-cookie']]), [{ status: 'denied' }, undefined]);
});

test('each user lists exactly their chats; the big chat holds history, a deleted message and files; posting', async () => {
  const expected = { u1: ['general', 'u1-u2', 'team/design', 'u1-u4', 'echo-u1', 'extra-1', 'extra-2'],
    u2: ['general', 'u1-u2', 'u2-u3', 'echo-u2', 'extra-1', 'extra-2'], u3: ['general', 'team/design', 'u2-u3', 'echo-u3'], u4: ['u1-u4', 'echo-u4'] };
  for (const [user, ids] of Object.entries(expected)) assert.deepEqual((await get('/auth/flow/web/chats', user)).json.chats.map((c) => c.id), ids, user);
  const list = (await messages('general', 'u2')).json.messages;
  const times = list.map((m) => Date.parse(m.createdAt));
  assert.deepEqual([list.length, times], [41, [...times].sort((a, b) => a - b)], 'with the --big-file one, oldest first');
  assert.deepEqual(list.filter((m) => m.type === 'DELETED').map((m) => [m.content, m.mediaUrl]), [['', '']]);
  const file = (name) => new URL(list.find((m) => m.type === 'FILE' && m.fileName === name).mediaUrl);
  assert.deepEqual([file('notes.txt').origin, (await get(file('notes.txt').pathname, 'u3')).text.slice(0, 7)], [`https://localhost:${server.port}`, 'Заметки']);
  assert.equal(sha((await get(file('Большой файл.bin').pathname, 'u1')).raw), sha(fs.readFileSync(bigFile)), 'served from where it lies');
  // Posting: trimmed, from the poster, at the end; only members, only valid text.
  const posted = await messages('team/design', 'u1', { body: { text: '  Привет 👋 <b>&</b>\n' } });
  const last = (await messages('team/design', 'u3')).json.messages.at(-1);
  assert.deepEqual([posted.status, last.id, last.type, last.content, last.senderId, last.senderName],
    [201, posted.json.id, 'TEXT', 'Привет 👋 <b>&</b>', 'u1', 'Анна Соколова']);
  const cases = [['u1', 'u2-u3', undefined, 404], ['u1', 'u2-u3', { text: 'тайком' }, 404], ['u4', 'general', undefined, 404],
    ['u1', 'no-such-chat', undefined, 404], [undefined, 'general', undefined, 401], ['u1', 'u1-u2', '{"text": "a"', 400],
    ['u1', 'u1-u2', '[1]', 400], ['u1', 'u1-u2', 'null', 400], ['u1', 'u1-u2', { text: 42 }, 400], ['u1', 'u1-u2', { text: ' \n\t ' }, 400],
    ['u1', 'u1-u2', { text: 'я'.repeat(4001) }, 400], ['u1', 'u1-u2', { text: '😀'.repeat(4000) }, 201],
    ['u1', 'u1-u2', { text: 'x'.repeat(70 * 1024) }, 413], ['u1', 'u1-u2', Buffer.from([0xff, 0xfe, 0x7b]), 400]];
  for (const [user, chat, body, status] of cases)
    assert.deepEqual(await messages(chat, user, { body }).then((r) => [r.status, status < 400 || Boolean(r.json.message)]), [status, true], `${user} ${chat} ${JSON.stringify(body)}`.slice(0, 60));
  assert.ok(!(await messages('u2-u3', 'u2')).json.messages.some((m) => m.content === 'тайком'));
  for (const [id, status] of [['team%2Fdesign', 200], ['team%2fdesign', 200], ['team/design', 404]])
    assert.equal((await get(`/auth/flow/web/chats/${id}/messages`, 'u3')).status, status, id);
});

test('uploads: 25 MiB at most, streamed to disk, downloadable by members only; refusals leave nothing', async () => {
  const data = crypto.randomBytes(LIMIT);
  const res = await upload('general', data, { name: 'Отчёт за март.pdf' });
  const message = (await messages('general', 'u2')).json.messages.find((m) => m.id === res.json.id);
  assert.deepEqual([res.status, message.type, message.fileName, message.senderId], [201, 'FILE', 'Отчёт за март.pdf', 'u1']);
  for (const [user, status] of [['u3', 200], ['u4', 403], [undefined, 401]])
    assert.deepEqual(await get(new URL(message.mediaUrl).pathname, user).then((r) => [r.status, status === 200 && sha(r.raw)]), [status, status === 200 && sha(data)]);
  const half = Array(6).fill(Buffer.alloc(1024 * 1024, 1));
  let grew = false; // a server that buffers the whole body has nothing on disk midway
  const streamed = await upload('u1-u4', 12 * 1024 * 1024, { token: SESSIONS.u4, async write(req, h) {
    req.write(Buffer.concat([h, ...half]));
    grew = await waitFor(() => uploads().some((n) => fs.statSync(path.join(filesDir, n)).size >= 2 * 1024 * 1024));
    req.end(Buffer.concat([...half, TAIL]));
  } });
  assert.deepEqual([streamed.status, grew], [201, true]);
  const any = (method, url, opts) => server.request(method, url, { token: SESSIONS.u1, timeoutMs: 5000, ...opts });
  const raw = (headers, body) => any('POST', '/auth/flow/web/chats/general/files', { headers, body });
  const cases = [
    ['one byte too many', () => upload('u1-u2', LIMIT + 1), 413], ['not multipart', () => raw({ 'Content-Type': 'application/json' }, '{}'), 415],
    ['no boundary', () => raw({ 'Content-Type': 'multipart/form-data' }, 'x'), 400], ['cut short', () => raw(TYPE, `${head('a.txt')}abc`), 400],
    ['no file part', () => raw(TYPE, `--${B}\r\nContent-Disposition: form-data; name="note"\r\n\r\nhi\r\n--${B}--\r\n`), 400],
    ['declared far too big', () => raw({ ...TYPE, 'Content-Length': 200 * 1024 * 1024 }, (req) => req.write('x')), 413],
    ['wrong field name', () => upload('general', 3, { field: 'attachment' }), 400], ['foreign chat', () => upload('u2-u3', 3), 404],
    ['signed out', () => upload('general', 3, { token: 'nope' }), 401], ['no route', () => any('GET', '/'), 404], ['unknown file', () => any('GET', '/auth/flow/web/files/unknown'), 404],
    ['empty chat id', () => any('GET', '/auth/flow/web/chats//messages'), 404], ['bad escape', () => any('GET', '/auth/flow/web/chats/%/messages'), 400],
    ['bad UTF-8', () => any('GET', '/auth/flow/web/chats/%E0%A4%A/messages'), 400], ['method', () => any('PUT', '/auth/flow/web/chats/general/messages'), 405],
    ['odd cookies', () => any('GET', '/auth/flow/web/me', { token: null, cookie: 'tovik_web_session; a=b; tovik_web_session=%00' }), 401],
    ['text far too big', () => any('POST', '/auth/flow/web/chats/general/messages', { headers: { 'Content-Length': 100 * 1024 * 1024 }, body: (req) => req.write('{"text":') }), 413]];
  for (const [why, run, status] of cases) assert.deepEqual(await run().then((r) => [r.status, typeof r.json.message]), [status, 'string'], why);
  assert.equal(await waitFor(() => uploads().length === 2), true, 'partial files removed');
  assert.equal((await me(SESSIONS.u1)).status, 200);
  assert.doesNotMatch(server.out.stderr + other.out.stderr, /failed/, 'nothing reached the 500 path');
});

test('--auto-confirm signs new flows in after the delay, taking a list in turn; uploads past the disk quota leave nothing', async () => {
  for (const [i, user] of ['u4', 'u2', 'u4'].entries()) {
    const { res, cookie } = await startFlow(other);
    assert.ok(i || res.json.qrUrl.startsWith(`https://tovik.test:${other.port}/confirm/`));
    const reply = await waitFor(async () => { const r = await poll(cookie, other); return r.json.status !== 'pending' && r; });
    assert.equal((await me(cookieValue(reply.headers['set-cookie'], 'tovik_web_session').value, other)).json.user.id, user);
  }
  for (const [size, status, declared] of [[60000, 201], [60000, 507], [60000, 507], [10, 507, 200000]])
    assert.equal((await upload('u1-u2', size, { srv: other, declared })).status, status, `${size} ${declared}`);
  assert.equal(await waitFor(() => uploads(quotaDir).length === 1), true, 'only the one upload');
});
