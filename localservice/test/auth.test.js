'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { startServer, cookieValue, makeCerts, sleep } = require('../test-support/helpers');

let server;
let certs;
before(async () => {
  certs = makeCerts();
  server = await startServer({ certs });
});
after(() => server.stop());

async function startFlow(srv = server) {
  const res = await srv.request('POST', '/auth/flow/web/start');
  const flow = cookieValue(res.headers['set-cookie'], 'tovik_flow');
  const flowId = decodeURIComponent(new URL(res.json.qrUrl).pathname.split('/')[2]);
  return { res, flow, cookie: `tovik_flow=${flow.value}`, flowId };
}
const poll = (cookie, srv = server) => srv.request('GET', '/auth/flow/web/status', { cookie });
const decide = (flowId, fields) => server.request('POST', `/confirm/${encodeURIComponent(flowId)}`, {
  headers: { 'Content-Type': 'application/x-www-form-urlencoded' }, body: new URLSearchParams(fields).toString(),
});

test('QR sign-in: pending, confirmed on the phone page, authenticated once, then claimed', async () => {
  const { res, flow, cookie, flowId } = await startFlow();
  assert.equal(res.json.qrUrl, `https://localhost:${server.port}/confirm/${encodeURIComponent(flowId)}`);
  assert.match(res.json.code, /^\d{4}-\d{2}$/);
  assert.deepEqual(flow.attrs, ['Secure', 'HttpOnly', 'Path=/', 'SameSite=Lax']);
  assert.notEqual(flow.value, flowId, 'the public QR link is not enough to claim the session');
  assert.deepEqual((await poll(cookie)).json, { status: 'pending' });

  const page = await server.request('GET', `/confirm/${encodeURIComponent(flowId)}`);
  assert.match(page.headers['content-type'], /^text\/html/);
  for (const needle of [res.json.code, '<select name="user"', '<option value="u4">Глеб Новиков', 'value="confirm"', 'value="deny"']) {
    assert.ok(page.text.includes(needle), needle);
  }
  assert.equal((await decide(flowId, { user: 'u2', action: 'confirm' })).status, 200);

  const first = await poll(cookie);
  assert.deepEqual(first.json, { status: 'authenticated' });
  const session = cookieValue(first.headers['set-cookie'], 'tovik_web_session');
  assert.match(session.value, /^[A-Za-z0-9_-]{43}$/, '32 random bytes, base64url');
  assert.deepEqual(session.attrs, ['Secure', 'HttpOnly', 'Path=/']);
  const again = await poll(cookie);
  assert.deepEqual(again.json, { status: 'claimed' });
  assert.equal(cookieValue(again.headers['set-cookie'], 'tovik_web_session').value, session.value);
  assert.deepEqual((await server.request('GET', '/auth/flow/web/me', { token: session.value })).json,
    { user: { id: 'u2', name: 'Борис Орлов' } });
  assert.equal((await decide(flowId, { user: 'u1', action: 'confirm' })).status, 409, 'the first decision stands');
});

test('denied and malformed decisions', async () => {
  const { cookie, flowId } = await startFlow();
  const cases = [
    [{ user: 'u1', action: 'maybe' }, 400],
    [{ user: 'u1' }, 400],
    [{ user: '<script>', action: 'confirm' }, 400],
    [{ user: 'u1', action: 'confirm', pad: 'x'.repeat(20000) }, 413],
    [{ action: 'deny' }, 200],
    [{ user: 'u1', action: 'confirm' }, 409],
  ];
  for (const [fields, status] of cases) {
    const res = await decide(flowId, fields);
    assert.equal(res.status, status, JSON.stringify(fields).slice(0, 60));
    assert.ok(!res.text.includes('<script>'));
  }
  const denied = await poll(cookie);
  assert.deepEqual(denied.json, { status: 'denied' });
  assert.equal(denied.headers['set-cookie'], undefined);
});

test('unknown flows', async () => {
  const cases = [
    [() => poll(undefined), 400, 'json'],
    [() => poll('tovik_flow=nope'), 404, 'json'],
    [() => server.request('GET', '/confirm/%3Cb%3Enope'), 404, 'html'],
    [() => decide('nope', { user: 'u1', action: 'confirm' }), 404, 'html'],
  ];
  for (const [run, status, kind] of cases) {
    const res = await run();
    assert.equal(res.status, status);
    if (kind === 'json') assert.equal(typeof res.json.message, 'string');
    else assert.ok(res.headers['content-type'].startsWith('text/html') && !res.text.includes('<b>'));
  }
});

test('me and logout', async () => {
  const { cookie, flowId } = await startFlow();
  await decide(flowId, { user: 'u3', action: 'confirm' });
  const token = cookieValue((await poll(cookie)).headers['set-cookie'], 'tovik_web_session').value;
  for (const t of [undefined, 'garbage']) {
    const res = await server.request('GET', '/auth/flow/web/me', { token: t });
    assert.deepEqual([res.status, res.json], [401, { message: 'Требуется вход' }]);
  }
  assert.equal((await server.request('POST', '/auth/flow/web/logout', { token })).json.ok, true);
  assert.equal((await server.request('GET', '/auth/flow/web/me', { token })).status, 401);
  assert.deepEqual((await server.request('POST', '/auth/flow/web/logout')).json, { ok: true });
});

test('--auto-confirm signs new flows in after the delay, taking a list in turn', async () => {
  const auto = await startServer({ certs, sessions: false, args: ['--auto-confirm', 'u4,u2', '--auto-confirm-delay', '150', '--public-host', 'tovik.test'] });
  try {
    const flows = [await startFlow(auto), await startFlow(auto), await startFlow(auto)];
    assert.ok(flows[0].res.json.qrUrl.startsWith(`https://tovik.test:${auto.port}/confirm/`));
    const signedIn = [];
    for (const { cookie } of flows) {
      let reply = await poll(cookie, auto);
      for (let i = 0; i < 50 && reply.json.status === 'pending'; i++) {
        await sleep(50);
        reply = await poll(cookie, auto);
      }
      const token = cookieValue(reply.headers['set-cookie'], 'tovik_web_session').value;
      signedIn.push((await auto.request('GET', '/auth/flow/web/me', { token })).json.user.id);
    }
    assert.deepEqual(signedIn, ['u4', 'u2', 'u4']);
    assert.equal((await poll(flows[0].cookie, auto)).json.status, 'claimed');
  } finally {
    await auto.stop();
  }
});
