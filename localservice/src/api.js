'use strict';

const fs = require('node:fs');
const { pipeline } = require('node:stream');
const {
  HttpError, sendJson, sendError, readJsonObject, discardBody, parseCookies,
} = require('./http-util');
const { showFlow, submitFlow } = require('./confirm');
const { receiveUpload } = require('./upload');

const FLOW_COOKIE = 'tovik_flow';
const SESSION_COOKIE = 'tovik_web_session';
const MAX_TEXT = 4000;
// Multipart boundaries and part headers around an uploaded file's bytes, at most.
const UPLOAD_FRAMING = 64 * 1024;

function flowCookie(secret) {
  return `${FLOW_COOKIE}=${secret}; Secure; HttpOnly; Path=/; SameSite=Lax`;
}

function sessionCookie(token) {
  return `${SESSION_COOKIE}=${token}; Secure; HttpOnly; Path=/`;
}

function requireUser(ctx) {
  const token = parseCookies(ctx.req.headers.cookie)[SESSION_COOKIE];
  const user = ctx.store.sessionUser(token);
  if (!user) throw new HttpError(401, 'Требуется вход');
  return user;
}

function requireChat(ctx, user) {
  const chat = ctx.store.chatFor(user.id, ctx.params.chatId);
  if (!chat) throw new HttpError(404, 'Чат не найден');
  return chat;
}

// --- sign-in ---------------------------------------------------------------

async function startFlow(ctx) {
  await discardBody(ctx.req);
  const { store, service } = ctx;
  const flow = store.createFlow();
  const { autoConfirm, autoConfirmDelay } = service.options;
  if (autoConfirm) {
    // The demo signs in two windows as two different people.
    const userId = autoConfirm[service.autoConfirmed++ % autoConfirm.length];
    flow.timer = setTimeout(() => store.decideFlow(flow, 'confirm', userId), autoConfirmDelay);
    flow.timer.unref();
  }
  sendJson(ctx.res, 200, {
    qrUrl: `${service.baseUrl}/confirm/${encodeURIComponent(flow.id)}`,
    code: flow.code,
  }, { 'Set-Cookie': flowCookie(flow.secret) });
}

function flowStatus(ctx) {
  const secret = parseCookies(ctx.req.headers.cookie)[FLOW_COOKIE];
  if (!secret) throw new HttpError(400, 'Вход не начат');
  const flow = ctx.store.flowBySecret(secret);
  if (!flow) throw new HttpError(404, 'Вход не найден или истёк');
  const { status, token } = ctx.store.pollFlow(flow);
  sendJson(ctx.res, 200, { status }, token ? { 'Set-Cookie': sessionCookie(token) } : {});
}

function me(ctx) {
  const user = requireUser(ctx);
  sendJson(ctx.res, 200, { user: { id: user.id, name: user.name } });
}

async function logout(ctx) {
  await discardBody(ctx.req);
  const token = parseCookies(ctx.req.headers.cookie)[SESSION_COOKIE];
  if (ctx.store.endSession(token)) ctx.service.realtime.dropToken(token);
  sendJson(ctx.res, 200, { ok: true }, {
    'Set-Cookie': `${SESSION_COOKIE}=; Secure; HttpOnly; Path=/; Max-Age=0`,
  });
}

// --- chats -----------------------------------------------------------------

function listChats(ctx) {
  const user = requireUser(ctx);
  const chats = ctx.store.chatsFor(user.id).map((c) => ({ id: c.id, name: c.name }));
  sendJson(ctx.res, 200, { chats });
}

function listMessages(ctx) {
  const user = requireUser(ctx);
  const chat = requireChat(ctx, user);
  const { store, service } = ctx;
  sendJson(ctx.res, 200, { messages: chat.messages.map((m) => store.messageJson(m, service.baseUrl)) });
}

async function postMessage(ctx) {
  const user = requireUser(ctx);
  const chat = requireChat(ctx, user);
  const body = await readJsonObject(ctx.req);
  if (typeof body.text !== 'string') throw new HttpError(400, 'Поле text должно быть строкой');
  const text = body.text.trim();
  if (!text) throw new HttpError(400, 'Сообщение не может быть пустым');
  // Code points, not UTF-16 units: an emoji counts as one character.
  let length = 0;
  for (const _ of text) if (++length > MAX_TEXT) break;
  if (length > MAX_TEXT) throw new HttpError(400, `Сообщение длиннее ${MAX_TEXT} символов`);
  const message = ctx.store.addMessage(chat.id, { senderId: user.id, content: text });
  sendJson(ctx.res, 201, { ok: true, id: message.id, message: ctx.store.messageJson(message, ctx.service.baseUrl) });
}

async function uploadFile(ctx) {
  const user = requireUser(ctx);
  const chat = requireChat(ctx, user);
  const { store, service } = ctx;
  const full = (close) => new HttpError(507, 'Хранилище файлов заполнено', { close });
  // A declared length that cannot fit is refused before any of the body is stored.
  const declared = Number(ctx.req.headers['content-length']);
  if (declared > 0 && !store.uploadFits(Math.max(0, declared - UPLOAD_FRAMING))) throw full(true);
  const received = await receiveUpload(ctx.req, service.filesDir);
  // Uploads running side by side may fill it between the check above and here.
  if (!store.uploadFits(received.size)) {
    fs.unlink(received.path, () => {});
    throw full(false);
  }
  const file = store.addFile({ chatId: chat.id, name: received.name, path: received.path, size: received.size, uploaded: true });
  const message = store.addMessage(chat.id, { type: 'FILE', content: '', senderId: user.id, fileId: file.id });
  sendJson(ctx.res, 201, { ok: true, id: message.id, message: store.messageJson(message, service.baseUrl) });
}

function contentDisposition(name) {
  const ascii = name.replace(/[^\x20-\x7e]|["\\]/g, '_');
  return `attachment; filename="${ascii}"; filename*=UTF-8''${encodeURIComponent(name)}`;
}

async function downloadFile(ctx) {
  const user = requireUser(ctx);
  const { store, res } = ctx;
  const file = store.files.get(ctx.params.fileId);
  if (!file) throw new HttpError(404, 'Файл не найден');
  const chat = store.chats.get(file.chatId);
  if (!chat || !store.isMember(chat, user.id)) throw new HttpError(403, 'Нет доступа к файлу');
  let handle;
  try {
    handle = await fs.promises.open(file.path, 'r');
  } catch {
    throw new HttpError(404, 'Файл не найден');
  }
  let size;
  try {
    size = (await handle.stat()).size;
  } catch {
    await handle.close();
    throw new HttpError(404, 'Файл не найден');
  }
  res.writeHead(200, {
    'Content-Type': 'application/octet-stream',
    'Content-Length': size,
    'Content-Disposition': contentDisposition(file.name),
    'Cache-Control': 'private, no-store',
  });
  if (size === 0) {
    await handle.close();
    res.end();
    return;
  }
  // The length is promised up front, so never send more than that even if
  // the file grows meanwhile.
  const stream = handle.createReadStream({ start: 0, end: size - 1, highWaterMark: 1024 * 1024 });
  pipeline(stream, res, () => {});
}

// --- routing -----------------------------------------------------------------

const ROUTES = [
  { path: 'auth/flow/web/start', methods: { POST: startFlow } },
  { path: 'auth/flow/web/status', methods: { GET: flowStatus } },
  { path: 'auth/flow/web/me', methods: { GET: me } },
  { path: 'auth/flow/web/logout', methods: { POST: logout } },
  { path: 'auth/flow/web/chats', methods: { GET: listChats } },
  { path: 'auth/flow/web/chats/:chatId/messages', methods: { GET: listMessages, POST: postMessage } },
  { path: 'auth/flow/web/chats/:chatId/files', methods: { POST: uploadFile } },
  { path: 'auth/flow/web/files/:fileId', methods: { GET: downloadFile } },
  { path: 'confirm/:flowId', methods: { GET: showFlow, POST: submitFlow } },
].map((r) => ({ ...r, segments: r.path.split('/') }));

/**
 * Splits on "/" first and decodes each segment afterwards, so that a chat id
 * with a slash in it ("team/design", sent as team%2Fdesign) stays one segment.
 */
function splitPath(url) {
  if (typeof url !== 'string' || !url.startsWith('/')) throw new HttpError(400, 'Некорректный адрес запроса');
  const pathname = url.split(/[?#]/, 1)[0];
  try {
    return pathname.slice(1).split('/').map(decodeURIComponent);
  } catch {
    throw new HttpError(400, 'Некорректный адрес запроса');
  }
}

function match(segments) {
  for (const route of ROUTES) {
    if (route.segments.length !== segments.length) continue;
    const params = {};
    let ok = true;
    for (let i = 0; i < segments.length && ok; i++) {
      const want = route.segments[i];
      if (want.startsWith(':')) {
        if (segments[i] === '') ok = false;
        else params[want.slice(1)] = segments[i];
      } else if (want !== segments[i]) {
        ok = false;
      }
    }
    if (ok) return { route, params };
  }
  return null;
}

function createHandler(service, log) {
  return async function handle(req, res) {
    try {
      const found = match(splitPath(req.url));
      if (!found) throw new HttpError(404, 'Нет такого адреса');
      const handler = found.route.methods[req.method];
      if (!handler) {
        throw new HttpError(405, 'Метод не поддерживается', {
          headers: { Allow: Object.keys(found.route.methods).join(', ') },
        });
      }
      await handler({ req, res, params: found.params, store: service.store, service });
    } catch (err) {
      if (err instanceof HttpError) {
        sendError(res, err);
      } else {
        log(`request ${req.method} ${req.url} failed: ${err && err.stack ? err.stack : err}`);
        sendError(res, new HttpError(500, 'Внутренняя ошибка сервиса'));
      }
    }
  };
}

module.exports = { createHandler, splitPath, match, FLOW_COOKIE, SESSION_COOKIE };
