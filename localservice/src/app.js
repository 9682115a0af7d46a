'use strict';

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const https = require('node:https');
const { Store } = require('./store');
const { seed } = require('./seed');
const { createHandler } = require('./api');
const { attachRealtime } = require('./realtime');
const { keepState } = require('./statefile');
const { UsageError } = require('./options');

function readCerts(dir) {
  const files = { cert: path.join(dir, 'server.pem'), key: path.join(dir, 'server.key') };
  try {
    return { cert: fs.readFileSync(files.cert), key: fs.readFileSync(files.key) };
  } catch (err) {
    throw new UsageError(`cannot read ${files.cert} / ${files.key} (${err.code || err.message}); run make-certs.sh first`);
  }
}

function prepareFilesDir(dir) {
  if (dir) {
    fs.mkdirSync(dir, { recursive: true });
    return { dir, temporary: false };
  }
  return { dir: fs.mkdtempSync(path.join(os.tmpdir(), 'tovik-files-')), temporary: true };
}

/**
 * Builds the whole service and starts listening on 127.0.0.1.
 * Resolves with { port, baseUrl, close() }.
 */
async function startService(options, { log = (line) => process.stderr.write(`${line}\n`) } = {}) {
  const tls = readCerts(options.certsDir);
  const store = new Store({
    maxUploadBytes: options.uploadQuota,
    removeFile: (file) => fs.unlink(file, () => {}),
  });

  const known = (id) => ['u1', 'u2', 'u3', 'u4'].includes(id);
  for (const id of options.autoConfirm || []) {
    if (!known(id)) throw new UsageError(`--auto-confirm: unknown user "${id}" (use u1..u4)`);
  }
  for (const s of options.sessions) {
    if (!known(s.userId)) throw new UsageError(`--session: unknown user "${s.userId}" (use u1..u4)`);
  }
  if (options.bigFile && !fs.existsSync(options.bigFile)) {
    throw new UsageError(`--big-file: ${options.bigFile} does not exist`);
  }

  const files = prepareFilesDir(options.filesDir);
  const removeFiles = () => {
    if (files.temporary) fs.rmSync(files.dir, { recursive: true, force: true });
  };
  process.on('exit', removeFiles);

  try {
    seed(store, {
      filesDir: files.dir,
      bigChatMessages: options.bigChatMessages,
      extraChats: options.extraChats,
      bigFile: options.bigFile,
    });
  } catch (err) {
    removeFiles();
    throw new UsageError(err.message);
  }
  for (const s of options.sessions) store.createSession(s.userId, s.token, { pinned: true });

  const service = { options, store, filesDir: files.dir, baseUrl: '', realtime: null, autoConfirmed: 0 };
  const server = https.createServer({ ...tls }, createHandler(service, log));
  server.on('clientError', (err, socket) => {
    if (socket.writable) socket.end('HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n');
    else socket.destroy();
  });
  service.realtime = attachRealtime(server, store, options, log);
  if (options.stateFile) keepState(options.stateFile, store, service.realtime.calls, log);

  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(options.port, '127.0.0.1', () => {
      server.off('error', reject);
      resolve();
    });
  }).catch((err) => {
    removeFiles();
    throw err;
  });

  const { port } = server.address();
  service.baseUrl = `https://${options.publicHost}${port === 443 ? '' : `:${port}`}`;

  let closing = null;
  return {
    port,
    baseUrl: service.baseUrl,
    store,
    close() {
      if (!closing) {
        closing = (async () => {
          for (const flow of store.flows.values()) if (flow.timer) clearTimeout(flow.timer);
          const realtimeClosed = service.realtime.close();
          server.closeAllConnections();
          await realtimeClosed;
          removeFiles();
        })();
      }
      return closing;
    },
  };
}

module.exports = { startService };
