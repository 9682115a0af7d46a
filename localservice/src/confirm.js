'use strict';

// The page a phone would show after scanning the sign-in QR code. It is a
// plain form so that it works in any browser during the demo.

const { HttpError, readBody, sendHtml, escapeHtml } = require('./http-util');

const FORM_LIMIT = 8 * 1024;

function page(title, body) {
  return `<!DOCTYPE html>
<html lang="ru">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>${escapeHtml(title)}</title>
<style>
body { font-family: sans-serif; max-width: 28rem; margin: 2rem auto; padding: 0 1rem; color: #1d2330; }
.code { font-size: 2rem; letter-spacing: .1em; font-weight: bold; margin: 1rem 0; }
select, button { font-size: 1rem; padding: .5rem; margin: .25rem 0; }
button { min-width: 10rem; }
</style>
</head>
<body>
<h1>${escapeHtml(title)}</h1>
${body}
</body>
</html>
`;
}

const DECIDED = {
  confirmed: 'Вход уже подтверждён.',
  denied: 'Вход уже отклонён.',
};

function notFound(res) {
  sendHtml(res, 404, page('Вход не найден', '<p>Ссылка устарела или неверна. Начните вход на компьютере заново.</p>'));
}

function showFlow(ctx) {
  const { res, store, params } = ctx;
  const flow = store.flowById(params.flowId);
  if (!flow) return notFound(res);
  if (flow.status !== 'pending') {
    return sendHtml(res, 200, page('Вход в Tovik', `<p>${escapeHtml(DECIDED[flow.status])}</p>`));
  }
  const options = [...store.users.values()]
    .map((u) => `<option value="${escapeHtml(u.id)}">${escapeHtml(u.name)}</option>`)
    .join('\n');
  const action = `/confirm/${encodeURIComponent(flow.id)}`;
  return sendHtml(res, 200, page('Вход в Tovik', `
<p>Проверьте, что код совпадает с кодом на экране компьютера:</p>
<div class="code">${escapeHtml(flow.code)}</div>
<form method="post" action="${escapeHtml(action)}">
<p><label>Войти как<br><select name="user">
${options}
</select></label></p>
<p>
<button type="submit" name="action" value="confirm">Подтвердить</button>
<button type="submit" name="action" value="deny">Отклонить</button>
</p>
</form>`));
}

async function readForm(req) {
  const body = (await readBody(req, FORM_LIMIT, 'Слишком большая форма')).toString('utf8');
  const type = String(req.headers['content-type'] || '').toLowerCase();
  if (type.startsWith('application/json')) {
    try {
      const value = JSON.parse(body);
      if (value && typeof value === 'object') return { user: value.user, action: value.action };
    } catch {
      // falls through to the "bad form" answer below
    }
    return {};
  }
  const form = new URLSearchParams(body);
  return { user: form.get('user'), action: form.get('action') };
}

async function submitFlow(ctx) {
  const { req, res, store, params } = ctx;
  let form;
  try {
    form = await readForm(req);
  } catch (err) {
    if (err instanceof HttpError) {
      return sendHtml(res, err.status, page('Ошибка', `<p>${escapeHtml(err.message)}</p>`));
    }
    throw err;
  }
  const flow = store.flowById(params.flowId);
  if (!flow) return notFound(res);
  if (form.action !== 'confirm' && form.action !== 'deny') {
    return sendHtml(res, 400, page('Ошибка', '<p>Выберите «Подтвердить» или «Отклонить».</p>'));
  }
  const user = typeof form.user === 'string' ? store.users.get(form.user) : null;
  if (form.action === 'confirm' && !user) {
    return sendHtml(res, 400, page('Ошибка', '<p>Такого пользователя нет.</p>'));
  }
  if (!store.decideFlow(flow, form.action, user && user.id)) {
    return sendHtml(res, 409, page('Вход в Tovik', `<p>${escapeHtml(DECIDED[flow.status])}</p>`));
  }
  if (form.action === 'confirm') {
    return sendHtml(res, 200, page('Вход подтверждён',
      `<p>Вы вошли как ${escapeHtml(user.name)}. Вернитесь к компьютеру.</p>`));
  }
  return sendHtml(res, 200, page('Вход отклонён', '<p>Вход на компьютере отклонён.</p>'));
}

module.exports = { showFlow, submitFlow };
