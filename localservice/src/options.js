'use strict';

const path = require('node:path');
const { parseArgs } = require('node:util');
const { MAX_MESSAGES_PER_CHAT } = require('./store');

class UsageError extends Error {}

const USAGE = `usage: node server.js [options]

  --port N                  port on 127.0.0.1 (default 8443, 0 = any free port)
  --public-host NAME        host used in links handed to clients (default localhost)
  --certs DIR               directory with server.pem/server.key (default certs/ beside server.js)
  --auto-confirm USERS      confirm every new sign-in as this user; with a list
                            (u1,u2) the first as u1, the next as u2, and round again
  --auto-confirm-delay MS   delay before that confirmation (default 300)
  --session USERID:TOKEN    pre-create a live session (repeatable)
  --ping-interval MS        realtime ping interval (default 25000)
  --ping-timeout MS         realtime ping timeout (default 20000)
  --connect-timeout MS      realtime connect timeout (default 45000)
  --grace MS                call reconnect grace period (default 20000)
  --extra-chats N           add N extra chats for u1 ("Чат 1".."Чат N")
  --big-chat-messages N     messages in the "general" chat (default 300)
  --big-file PATH           add an attachment in "general" served from PATH
  --files-dir DIR           where uploads are kept (default a temporary folder removed on exit)
  --upload-quota BYTES      uploaded bytes kept on disk, all chats together (default 1 GiB)
  --state-file PATH         keep sessions and live calls in PATH, taken back at the next start
`;

const OPTIONS = {
  port: { type: 'string' },
  'public-host': { type: 'string' },
  certs: { type: 'string' },
  'auto-confirm': { type: 'string' },
  'auto-confirm-delay': { type: 'string' },
  session: { type: 'string', multiple: true },
  'ping-interval': { type: 'string' },
  'ping-timeout': { type: 'string' },
  'connect-timeout': { type: 'string' },
  grace: { type: 'string' },
  'extra-chats': { type: 'string' },
  'big-chat-messages': { type: 'string' },
  'big-file': { type: 'string' },
  'files-dir': { type: 'string' },
  'upload-quota': { type: 'string' },
  'state-file': { type: 'string' },
  help: { type: 'boolean', short: 'h' },
};

function integer(values, name, fallback, min, max) {
  const raw = values[name];
  if (raw === undefined) return fallback;
  if (!/^\d+$/.test(raw)) throw new UsageError(`--${name} expects a whole number, got "${raw}"`);
  const n = Number(raw);
  if (n < min || n > max) throw new UsageError(`--${name} must be between ${min} and ${max}`);
  return n;
}

function parseSession(text) {
  const colon = text.indexOf(':');
  if (colon <= 0 || colon === text.length - 1) {
    throw new UsageError(`--session expects USERID:TOKEN, got "${text}"`);
  }
  return { userId: text.slice(0, colon), token: text.slice(colon + 1) };
}

/**
 * Turns the command line into the service configuration.
 * Throws UsageError with a readable message on anything it does not understand.
 */
function parseOptions(argv, { baseDir }) {
  let values;
  try {
    ({ values } = parseArgs({ args: argv, options: OPTIONS, strict: true, allowPositionals: false }));
  } catch (err) {
    throw new UsageError(err.message);
  }
  const DAY = 24 * 3600 * 1000;
  const host = values['public-host'] ?? 'localhost';
  if (!/^[A-Za-z0-9.\-\[\]:]+$/.test(host)) {
    throw new UsageError(`--public-host "${host}" is not a host name`);
  }
  return {
    help: Boolean(values.help),
    port: integer(values, 'port', 8443, 0, 65535),
    publicHost: host,
    certsDir: path.resolve(values.certs ?? path.join(baseDir, 'certs')),
    autoConfirm: values['auto-confirm'] === undefined ? null : values['auto-confirm'].split(','),
    autoConfirmDelay: integer(values, 'auto-confirm-delay', 300, 0, DAY),
    sessions: (values.session ?? []).map(parseSession),
    pingInterval: integer(values, 'ping-interval', 25000, 1, DAY),
    pingTimeout: integer(values, 'ping-timeout', 20000, 1, DAY),
    connectTimeout: integer(values, 'connect-timeout', 45000, 1, DAY),
    grace: integer(values, 'grace', 20000, 0, DAY),
    extraChats: integer(values, 'extra-chats', 0, 0, 100000),
    bigChatMessages: integer(values, 'big-chat-messages', 300, 0, MAX_MESSAGES_PER_CHAT),
    bigFile: values['big-file'] ? path.resolve(values['big-file']) : null,
    filesDir: values['files-dir'] ? path.resolve(values['files-dir']) : null,
    uploadQuota: integer(values, 'upload-quota', 1024 * 1024 * 1024, 0, Number.MAX_SAFE_INTEGER),
    stateFile: values['state-file'] ? path.resolve(values['state-file']) : null,
  };
}

module.exports = { parseOptions, UsageError, USAGE };
