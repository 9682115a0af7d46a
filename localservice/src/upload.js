'use strict';

const fs = require('node:fs');
const path = require('node:path');
const { pipeline } = require('node:stream/promises');
const busboy = require('busboy');
const { HttpError } = require('./http-util');
const { randomToken } = require('./store');

const MAX_FILE_BYTES = 25 * 1024 * 1024;
const TOO_BIG = 'Файл больше 25 МБ';
// Room for the multipart framing and a few small fields around the file.
const FRAMING_ALLOWANCE = 1024 * 1024;

function unlinkQuietly(file) {
  fs.unlink(file, () => {});
}

/**
 * Streams the "file" part of a multipart request into filesDir. Resolves with
 * { fileId, path, name, size }; rejects with an HttpError. The file never sits
 * in memory: busboy hands us chunks and they go straight to disk.
 */
function receiveUpload(req, filesDir) {
  const type = String(req.headers['content-type'] || '');
  if (!/^multipart\/form-data/i.test(type)) {
    return Promise.reject(new HttpError(415, 'Ожидалась форма multipart/form-data с полем file'));
  }
  const declared = Number(req.headers['content-length']);
  if (declared > MAX_FILE_BYTES + FRAMING_ALLOWANCE) {
    return Promise.reject(new HttpError(413, TOO_BIG, { close: true }));
  }

  let parser;
  try {
    parser = busboy({
      headers: req.headers,
      defParamCharset: 'utf8',
      // busboy flags a file as truncated once it reaches the limit, so ask
      // for one byte more: exactly 25 MiB is fine, 25 MiB + 1 is not.
      limits: { fileSize: MAX_FILE_BYTES + 1, files: 1, fields: 20, fieldSize: 4096, parts: 30, headerPairs: 20 },
    });
  } catch {
    return Promise.reject(new HttpError(400, 'Некорректная форма multipart/form-data'));
  }

  return new Promise((resolve, reject) => {
    let settled = false;
    let written = null; // promise of the file landing on disk
    let target = null;
    let name = '';
    let truncated = false;
    let received = 0;

    const fail = (err) => {
      if (settled) return;
      settled = true;
      req.unpipe(parser);
      parser.destroy(new Error('upload abandoned'));
      if (target) {
        // Unlink only once the write stream has let go of the file, or a
        // late open could bring the partial file back.
        const partial = target;
        written.then(() => unlinkQuietly(partial), () => unlinkQuietly(partial));
      }
      reject(err);
    };

    parser.on('file', (field, stream, info) => {
      if (field !== 'file' || written) {
        stream.resume();
        return;
      }
      const fileId = randomToken(16);
      target = path.join(filesDir, fileId);
      name = info.filename || 'file';
      stream.on('limit', () => {
        truncated = true;
      });
      written = pipeline(stream, fs.createWriteStream(target, { flags: 'wx' }))
        .then(() => ({ fileId, path: target, name }));
      written.catch(() => {}); // looked at when the form ends
    });

    parser.on('error', () => fail(new HttpError(400, 'Некорректная форма multipart/form-data')));

    parser.on('close', async () => {
      if (settled) return;
      if (!written) {
        fail(new HttpError(400, 'Файл не передан: нужна часть формы с именем file'));
        return;
      }
      let file;
      try {
        file = await written;
      } catch {
        fail(new HttpError(500, 'Не удалось сохранить файл'));
        return;
      }
      if (truncated) {
        fail(new HttpError(413, TOO_BIG));
        return;
      }
      try {
        file.size = (await fs.promises.stat(file.path)).size;
      } catch {
        fail(new HttpError(500, 'Не удалось сохранить файл'));
        return;
      }
      settled = true;
      resolve(file);
    });

    // Without a Content-Length nothing above stops a client that keeps
    // sending after the limit; busboy would discard it forever.
    req.on('data', (chunk) => {
      received += chunk.length;
      if (received > MAX_FILE_BYTES + FRAMING_ALLOWANCE) fail(new HttpError(413, TOO_BIG, { close: true }));
    });
    req.on('close', () => {
      if (!req.complete) fail(new HttpError(400, 'Загрузка прервана'));
    });

    req.pipe(parser);
  });
}

module.exports = { receiveUpload, MAX_FILE_BYTES };
