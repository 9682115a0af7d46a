'use strict';

const fs = require('node:fs');

// Far more than 10,000 sessions and a few hundred live calls take; anything bigger is not ours.
const MAX_STATE_BYTES = 16 * 1024 * 1024;

function isObject(value) {
  return value !== null && typeof value === 'object' && !Array.isArray(value);
}

/**
 * The saved state, or null when there is none or it cannot be used. Only a regular file is
 * read, opened without blocking, so that a FIFO or a device at the path cannot hang the start.
 */
function readState(file, log) {
  let fd;
  try {
    fd = fs.openSync(file, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
  } catch (err) {
    if (err.code !== 'ENOENT') log(`state file ${file}: ${err.code || err.message}; starting afresh`);
    return null;
  }
  try {
    const info = fs.fstatSync(fd);
    if (!info.isFile() || info.size > MAX_STATE_BYTES) {
      log(`state file ${file} is not a state file; starting afresh`);
      return null;
    }
    const state = JSON.parse(fs.readFileSync(fd, 'utf8'));
    return isObject(state) ? state : null;
  } catch (err) {
    log(`state file ${file} unreadable (${err.message}); starting afresh`);
    return null;
  } finally {
    fs.closeSync(fd);
  }
}

/**
 * Keeps the signed-in sessions and the live calls in `file`, so that a service killed and started
 * again takes its users and their calls back: members then have the reconnect grace to resume.
 * Messages and uploads are not kept. Changes within one turn of the event loop are written
 * once; the file is replaced whole (write, then rename), so a kill never leaves half of it.
 */
function keepState(file, store, calls, log) {
  const saved = readState(file, log);
  if (saved) {
    for (const s of Array.isArray(saved.sessions) ? saved.sessions : []) {
      if (isObject(s) && typeof s.token === 'string' && s.token && store.users.has(s.userId) && !store.sessions.has(s.token)) {
        store.createSession(s.userId, s.token);
      }
    }
    calls.restore(Array.isArray(saved.calls) ? saved.calls : []);
  }
  let pending = false;
  const write = () => {
    pending = false;
    const state = {
      sessions: [...store.sessions.values()].filter((s) => !s.pinned).map(({ token, userId }) => ({ token, userId })),
      calls: calls.live(),
    };
    const temporary = `${file}.${process.pid}.tmp`;
    try {
      fs.writeFileSync(temporary, JSON.stringify(state), { mode: 0o600 });
      fs.renameSync(temporary, file);
    } catch (err) {
      log(`state file ${file} not written: ${err.code || err.message}`);
    }
  };
  const changed = () => {
    if (!pending) {
      pending = true;
      setImmediate(write);
    }
  };
  store.onSessionsChanged = changed;
  calls.onChanged = changed;
}

module.exports = { keepState };
