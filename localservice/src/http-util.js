'use strict';

const JSON_LIMIT = 64 * 1024;
// Past this we stop reading an oversized body and close the connection; below
// it we read the rest and throw it away, so that ordinary clients that write
// their whole body before reading the reply still get a clean 413.
const DRAIN_LIMIT = 8 * 1024 * 1024;

class HttpError extends Error {
  constructor(status, message, { close = false, headers = {} } = {}) {
    super(message);
    this.status = status;
    this.close = close;
    this.headers = headers;
  }
}

function sendJson(res, status, body, headers = {}) {
  if (res.headersSent || res.destroyed) {
    res.destroy();
    return;
  }
  const data = Buffer.from(JSON.stringify(body));
  res.writeHead(status, {
    'Content-Type': 'application/json',
    'Content-Length': data.length,
    'Cache-Control': 'no-store',
    ...headers,
  });
  res.end(data);
}

function sendError(res, err) {
  const headers = { ...err.headers };
  if (err.close) headers.Connection = 'close';
  sendJson(res, err.status, { message: err.message }, headers);
}

function sendHtml(res, status, html) {
  if (res.headersSent || res.destroyed) {
    res.destroy();
    return;
  }
  const data = Buffer.from(html);
  res.writeHead(status, {
    'Content-Type': 'text/html; charset=utf-8',
    'Content-Length': data.length,
    'Cache-Control': 'no-store',
    'Content-Security-Policy': "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'",
    'X-Content-Type-Options': 'nosniff',
  });
  res.end(data);
}

function tooLarge(message, close) {
  return new HttpError(413, message, { close });
}

/** Reads a request body of at most `limit` bytes into memory. */
function readBody(req, limit = JSON_LIMIT, message = 'Тело запроса больше 64 КБ') {
  return new Promise((resolve, reject) => {
    const declared = Number(req.headers['content-length']);
    if (declared > DRAIN_LIMIT) {
      reject(tooLarge(message, true));
      return;
    }
    const chunks = [];
    let size = 0;
    let settled = false;
    const settle = (fn, value) => {
      if (settled) return;
      settled = true;
      fn(value);
    };
    req.on('data', (chunk) => {
      if (settled) return;
      size += chunk.length;
      if (size <= limit) {
        chunks.push(chunk);
      } else if (size > DRAIN_LIMIT) {
        chunks.length = 0;
        settle(reject, tooLarge(message, true));
      } else {
        chunks.length = 0;
      }
    });
    req.on('end', () => {
      if (size > limit) settle(reject, tooLarge(message, false));
      else settle(resolve, Buffer.concat(chunks));
    });
    req.on('error', (err) => settle(reject, err));
    req.on('close', () => settle(reject, new HttpError(400, 'Запрос прерван')));
  });
}

/** A JSON object from the request body; anything else is the client's error. */
async function readJsonObject(req) {
  const body = await readBody(req);
  let value;
  try {
    value = JSON.parse(body.toString('utf8'));
  } catch {
    throw new HttpError(400, 'Некорректный JSON в теле запроса');
  }
  if (value === null || typeof value !== 'object' || Array.isArray(value)) {
    throw new HttpError(400, 'Ожидался JSON-объект');
  }
  return value;
}

/** Reads and discards a body we have no use for, within the same bounds. */
async function discardBody(req) {
  await readBody(req);
}

function parseCookies(header) {
  const out = Object.create(null);
  if (typeof header !== 'string') return out;
  for (const part of header.split(';')) {
    const eq = part.indexOf('=');
    if (eq < 0) continue;
    const name = part.slice(0, eq).trim();
    if (name && !(name in out)) out[name] = part.slice(eq + 1).trim();
  }
  return out;
}

function escapeHtml(text) {
  return String(text).replace(/[&<>"']/g, (c) => ({
    '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;',
  }[c]));
}

module.exports = {
  HttpError,
  JSON_LIMIT,
  DRAIN_LIMIT,
  sendJson,
  sendError,
  sendHtml,
  readBody,
  readJsonObject,
  discardBody,
  parseCookies,
  escapeHtml,
};
