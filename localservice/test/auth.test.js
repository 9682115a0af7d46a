'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { startServer, cookieValue, makeCerts, sleep } = require('../test-support/helpers');

let server;
let certs;

before(async () => {
  certs = makeCerts();
  server = await startServer({ certs, args: ['--public-host', 'localhost'] });
});
after(() => server && server.stop());

async function startFlow(srv = server) {
  const res = await srv.request('POST', '/auth/flow/web/start');
  assert.equal(res.status, 200);
  const flow = cookieValue(res.headers['set-cookie'], 'tovik_flow');
  assert.ok(flow, 'flow cookie set');
  const flowId = decodeURIComponent(new URL(res.json.qrUrl).pathname.split('/')[2]);
  return { res, cookie: `tovik_flow=${flow.value}`, cookieLine: flow.line, flowId };
}

const status = (cookie) => server.request('GET', '/auth/flow/web/status', { cookie });

function decide(flowId, fields, srv = server) {
  return srv.request('POST', `/confirm/${encodeURIComponent(flowId)}`, {
    headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
    body: new URLSearchParams(fields).toString(),
  });
}

test('start hands out a QR link, a short code and a flow cookie', async () => {
  const { res, cookieLine, flowId } = await startFlow();
  assert.match(res.headers['content-type'], /^application\/json/);
  assert.equal(res.json.qrUrl, `https://localhost:${server.port}/confirm/${encodeURIComponent(flowId)}`);
  assert.match(res.json.code, /^\d{4}-\d{2}$/);
  for (const attr of ['Secure', 'HttpOnly', 'Path=/', 'SameSite=Lax']) {
    assert.ok(cookieLine.split('; ').includes(attr), `${attr} in ${cookieLine}`);
  }
  // The public link must not be enough to poll the flow.
  assert.ok(!cookieLine.includes(flowId));
});

test('confirmed flow: pending, then authenticated once, then claimed with the same session', async () => {
  const { res: started, cookie, flowId } = await startFlow();
  const pending = await status(cookie);
  assert.deepEqual([pending.status, pending.json], [200, { status: 'pending' }]);
  assert.equal(pending.headers['set-cookie'], undefined);

  const page = await server.request('GET', `/confirm/${encodeURIComponent(flowId)}`);
  assert.equal(page.status, 200);
  assert.match(page.headers['content-type'], /^text\/html/);
  assert.ok(page.text.includes(started.json.code), 'page shows the code');
  for (const needle of ['<select name="user"', 'value="u1"', 'Анна Соколова', 'value="confirm"', 'value="deny"',
    `action="/confirm/${encodeURIComponent(flowId)}"`]) {
    assert.ok(page.text.includes(needle), needle);
  }

  const confirmed = await decide(flowId, { user: 'u2', action: 'confirm' });
  assert.equal(confirmed.status, 200);
  assert.ok(confirmed.text.includes('Борис Орлов'));

  const first = await status(cookie);
  assert.deepEqual(first.json, { status: 'authenticated' });
  const session = cookieValue(first.headers['set-cookie'], 'tovik_web_session');
  assert.match(session.value, /^[A-Za-z0-9_-]{43}$/, '32 random bytes, base64url');
  for (const attr of ['Secure', 'HttpOnly', 'Path=/']) assert.ok(session.line.split('; ').includes(attr), attr);

  const me = await server.request('GET', '/auth/flow/web/me', { token: session.value });
  assert.deepEqual(me.json, { user: { id: 'u2', name: 'Борис Орлов' } });

  const again = await status(cookie);
  assert.deepEqual(again.json, { status: 'claimed' });
  assert.equal(cookieValue(again.headers['set-cookie'], 'tovik_web_session').value, session.value);

  const late = await decide(flowId, { user: 'u1', action: 'confirm' });
  assert.equal(late.status, 409, 'the first decision stands');
});

test('denied flow reports denied and never yields a session', async () => {
  const { cookie, flowId } = await startFlow();
  assert.equal((await decide(flowId, { user: 'u1', action: 'deny' })).status, 200);
  for (let i = 0; i < 2; i++) {
    const res = await status(cookie);
    assert.deepEqual(res.json, { status: 'denied' });
    assert.equal(cookieValue(res.headers['set-cookie'], 'tovik_web_session'), null);
  }
  assert.equal((await decide(flowId, { user: 'u1', action: 'confirm' })).status, 409);
});

test('confirmation page rejects bad input without deciding the flow', async () => {
  const { cookie, flowId } = await startFlow();
  const cases = [
    { fields: { user: 'u1', action: 'maybe' }, status: 400 },
    { fields: { user: 'u1' }, status: 400 },
    { fields: { user: 'u9', action: 'confirm' }, status: 400 },
    { fields: { user: '<script>', action: 'confirm' }, status: 400 },
  ];
  for (const c of cases) {
    const res = await decide(flowId, c.fields);
    assert.equal(res.status, c.status, JSON.stringify(c.fields));
    assert.ok(!res.text.includes('<script>'), 'nothing from the request is echoed unescaped');
  }
  assert.deepEqual((await status(cookie)).json, { status: 'pending' });
  const big = await server.request('POST', `/confirm/${encodeURIComponent(flowId)}`, {
    headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
    body: `user=u1&action=confirm&pad=${'x'.repeat(20000)}`,
  });
  assert.equal(big.status, 413);
  assert.deepEqual((await status(cookie)).json, { status: 'pending' });
});

test('unknown or missing flows', async () => {
  const cases = [
    { what: 'status without cookie', run: () => status(undefined), status: [400, 404] },
    { what: 'status with unknown cookie', run: () => status('tovik_flow=nope'), status: [404] },
    { what: 'confirmation page of unknown flow', run: () => server.request('GET', '/confirm/nope'), status: [404], html: true },
    { what: 'decision on unknown flow', run: () => decide('nope', { user: 'u1', action: 'confirm' }), status: [404], html: true },
    { what: 'flow id with markup', run: () => server.request('GET', '/confirm/%3Cb%3E'), status: [404], html: true },
  ];
  for (const c of cases) {
    const res = await c.run();
    assert.ok(c.status.includes(res.status), `${c.what}: ${res.status}`);
    if (c.html) {
      assert.match(res.headers['content-type'], /^text\/html/, c.what);
      assert.ok(!res.text.includes('<b>'), c.what);
    } else {
      assert.equal(typeof res.json.message, 'string', c.what);
    }
  }
});

test('me and logout', async () => {
  const { cookie, flowId } = await startFlow();
  await decide(flowId, { user: 'u3', action: 'confirm' });
  const token = cookieValue((await status(cookie)).headers['set-cookie'], 'tovik_web_session').value;

  const unauthorized = [undefined, 'garbage', ''];
  for (const t of unauthorized) {
    const res = await server.request('GET', '/auth/flow/web/me', { cookie: t === undefined ? undefined : `tovik_web_session=${t}` });
    assert.equal(res.status, 401, String(t));
    assert.equal(res.json.message, 'Требуется вход');
  }
  assert.equal((await server.request('GET', '/auth/flow/web/me', { token })).json.user.id, 'u3');

  const out = await server.request('POST', '/auth/flow/web/logout', { token });
  assert.deepEqual([out.status, out.json], [200, { ok: true }]);
  assert.equal((await server.request('GET', '/auth/flow/web/me', { token })).status, 401);
  assert.equal((await server.request('GET', '/auth/flow/web/chats', { token })).status, 401);

  const anonymous = await server.request('POST', '/auth/flow/web/logout');
  assert.deepEqual([anonymous.status, anonymous.json], [200, { ok: true }]);
});

test('auto-confirm signs every new flow in as the given user after the delay', async () => {
  const auto = await startServer({
    certs,
    sessions: false,
    args: ['--auto-confirm', 'u4', '--auto-confirm-delay', '150', '--public-host', 'tovik.test'],
  });
  try {
    const { res, cookie } = await startFlow(auto);
    assert.ok(res.json.qrUrl.startsWith(`https://tovik.test:${auto.port}/confirm/`));
    const first = await auto.request('GET', '/auth/flow/web/status', { cookie });
    assert.deepEqual(first.json, { status: 'pending' });
    let reply = first;
    for (let i = 0; i < 50 && reply.json.status === 'pending'; i++) {
      await sleep(50);
      reply = await auto.request('GET', '/auth/flow/web/status', { cookie });
    }
    assert.equal(reply.json.status, 'authenticated');
    const token = cookieValue(reply.headers['set-cookie'], 'tovik_web_session').value;
    assert.equal((await auto.request('GET', '/auth/flow/web/me', { token })).json.user.id, 'u4');
  } finally {
    await auto.stop();
  }
});
