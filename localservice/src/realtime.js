'use strict';

const crypto = require('node:crypto');
const { Server } = require('socket.io');
const { ECHO_USER } = require('./seed');

const MAX_ENDED_CALLS = 1000;
// Events one connection may send, per second sustained and in a burst. A call needs about 55
// media events a second; after a stall a client's backlog arrives at once, so media past the rate
// is dropped (it is stale by then) and the connection kept. Call control past its rate is a flood:
// the client is told why and cut off.
const MEDIA_RATE = [150, 300];
const CONTROL_RATE = [20, 100];
const TOO_MANY_EVENTS = 'Слишком много событий: соединение закрыто';
// The echo contact plays back what it hears this much later, and holds at most this many blocks
// per call on the way (a second of 20 ms blocks, with room to spare).
const ECHO_DELAY_MS = 1000;
const MAX_ECHO_PENDING = 100;

function isObject(value) {
  return value !== null && typeof value === 'object' && !Array.isArray(value);
}

/** A token bucket: true while the caller is within `rate` a second with bursts of `burst`. */
function bucket(rate, burst) {
  let tokens = burst;
  let last = Date.now();
  return () => {
    const now = Date.now();
    tokens = Math.min(burst, tokens + ((now - last) * rate) / 1000);
    last = now;
    if (tokens < 1) return false;
    tokens -= 1;
    return true;
  };
}

function userRoom(userId) {
  return `user:${userId}`;
}

function record(call) {
  return {
    id: call.id,
    chatId: call.chatId,
    state: call.state,
    callerId: call.callerId,
    members: call.members.map((m) => ({ userId: m.userId, name: m.name, state: m.state, deviceId: m.deviceId })),
    createdAt: call.createdAt,
    acceptedAt: call.acceptedAt,
  };
}

const present = (m) => m.state === 'JOINED' || m.state === 'INVITED';

/**
 * Calls and their media relay on top of the realtime channel. A member's
 * "device" is the one connection that carries its media; everything else the
 * user has open only gets call records.
 */
class Calls {
  constructor(io, store, { grace, log }) {
    this.io = io;
    this.store = store;
    this.grace = grace;
    this.log = log;
    this.calls = new Map();
    this.ended = [];
    this.closed = false;
    this.onChanged = () => {};
  }

  memberOf(call, userId) {
    for (const m of call.members) if (m.userId === userId) return m;
    return null;
  }

  lookup(payload) {
    return typeof payload.id === 'string' ? this.calls.get(payload.id) || null : null;
  }

  push(call) {
    this.io.to(call.members.map((m) => userRoom(m.userId))).emit('native_call', record(call));
    this.onChanged();
  }

  error(socket, message) {
    socket.emit('native_call_error', { message });
  }

  busy(userId) {
    for (const call of this.calls.values()) {
      if (call.state === 'ENDED') continue;
      const m = this.memberOf(call, userId);
      if (m && present(m)) return true;
    }
    return false;
  }

  cancelGrace(call, userId) {
    const timer = call.grace.get(userId);
    if (timer) {
      clearTimeout(timer);
      call.grace.delete(userId);
    }
  }

  end(call) {
    call.state = 'ENDED';
    for (const timer of call.grace.values()) clearTimeout(timer);
    call.grace.clear();
    for (const timer of call.echoTimers) clearTimeout(timer);
    call.echoTimers.clear();
    this.ended.push(call.id);
    // Ended calls linger so that a late "resume" still learns the outcome,
    // but only a bounded number of them.
    while (this.ended.length > MAX_ENDED_CALLS) this.calls.delete(this.ended.shift());
  }

  endIfAlone(call) {
    if (call.state !== 'ENDED' && call.members.filter(present).length < 2) this.end(call);
  }

  handle(socket, payload) {
    if (!isObject(payload) || typeof payload.action !== 'string') return;
    const userId = socket.data.userId;
    switch (payload.action) {
      case 'sync': return this.sync(socket, userId);
      case 'invite': return this.invite(socket, userId, payload);
      case 'accept': return this.accept(socket, userId, payload);
      case 'decline': return this.depart(socket, userId, payload, 'DECLINED');
      case 'leave': return this.depart(socket, userId, payload, 'LEFT');
      case 'resume': return this.resume(socket, userId, payload);
      case 'ping': return socket.emit('native_call_pong', { sentAt: payload.sentAt ?? null });
      default: return undefined;
    }
  }

  sync(socket, userId) {
    const items = [];
    for (const call of this.calls.values()) {
      if (call.state === 'ENDED') continue;
      const m = this.memberOf(call, userId);
      if (m && present(m)) items.push(record(call));
    }
    socket.emit('native_calls', { items });
  }

  invite(socket, userId, payload) {
    const chat = typeof payload.chatId === 'string' ? this.store.chatFor(userId, payload.chatId) : null;
    if (!chat) return this.error(socket, 'Чат не найден');
    if (this.busy(userId)) return this.error(socket, 'Вы уже участвуете в звонке');
    const call = {
      id: crypto.randomUUID(),
      chatId: chat.id,
      state: 'RINGING',
      callerId: userId,
      members: chat.members.map((id) => ({
        userId: id,
        name: this.store.users.get(id)?.name ?? '',
        state: id === userId ? 'JOINED' : 'INVITED',
        deviceId: id === userId ? socket.id : '',
      })),
      createdAt: new Date().toISOString(),
      acceptedAt: '',
      grace: new Map(),
      echoTimers: new Set(),
    };
    // The echo contact picks up at once; it has no connection, so it never carries a device.
    const echo = this.memberOf(call, ECHO_USER);
    if (echo && userId !== ECHO_USER) {
      echo.state = 'JOINED';
      call.state = 'ACTIVE';
      call.acceptedAt = call.createdAt;
    }
    this.calls.set(call.id, call);
    this.endIfAlone(call);
    this.push(call);
    return undefined;
  }

  accept(socket, userId, payload) {
    const call = this.lookup(payload);
    const member = call && this.memberOf(call, userId);
    if (!call || call.state === 'ENDED' || !member || !present(member)) {
      return this.error(socket, 'Звонок не найден');
    }
    member.state = 'JOINED';
    member.deviceId = socket.id;
    this.cancelGrace(call, userId);
    // A caller re-accepting its own ringing call does not make it a conversation.
    const joined = call.members.filter((m) => m.state === 'JOINED').length;
    if (call.state === 'RINGING' && joined >= 2) {
      call.state = 'ACTIVE';
      if (!call.acceptedAt) call.acceptedAt = new Date().toISOString();
    }
    this.push(call);
    return undefined;
  }

  depart(socket, userId, payload, state) {
    const call = this.lookup(payload);
    const member = call && this.memberOf(call, userId);
    if (!member) return; // clients send "leave" without an id when signing out
    if (call.state === 'ENDED' || !present(member)) {
      socket.emit('native_call', record(call));
      return;
    }
    member.state = state;
    member.deviceId = '';
    this.cancelGrace(call, userId);
    this.endIfAlone(call);
    this.push(call);
  }

  resume(socket, userId, payload) {
    const call = this.lookup(payload);
    const member = call && this.memberOf(call, userId);
    if (!member) return;
    if (call.state === 'ENDED' || member.state !== 'JOINED') {
      socket.emit('native_call', record(call));
      return;
    }
    member.deviceId = socket.id;
    this.cancelGrace(call, userId);
    this.push(call);
  }

  /** A device connection dropped: its member gets `grace` ms to resume. */
  disconnected(socket) {
    if (this.closed) return;
    const userId = socket.data.userId;
    for (const call of this.calls.values()) {
      if (call.state === 'ENDED') continue;
      const member = this.memberOf(call, userId);
      if (member && member.state === 'JOINED' && member.deviceId === socket.id) this.startGrace(call, member);
    }
  }

  startGrace(call, member) {
    this.cancelGrace(call, member.userId);
    const lostDevice = member.deviceId;
    const timer = setTimeout(() => {
      call.grace.delete(member.userId);
      if (call.state === 'ENDED' || member.state !== 'JOINED' || member.deviceId !== lostDevice) return;
      member.state = 'LEFT';
      member.deviceId = '';
      this.endIfAlone(call);
      this.push(call);
    }, this.grace);
    call.grace.set(member.userId, timer);
  }

  /** The calls worth taking back after a restart: those not ended. */
  live() {
    return [...this.calls.values()].filter((call) => call.state !== 'ENDED').map(record);
  }

  /**
   * Calls saved by an earlier run. Nobody is connected yet, so every joined member gets the
   * grace period to resume, as after a dropped connection. Records that do not fit the chats
   * and users this run knows are skipped.
   */
  restore(records) {
    const states = ['JOINED', 'INVITED', 'DECLINED', 'LEFT'];
    for (const r of records) {
      const chat = isObject(r) && typeof r.id === 'string' && !this.calls.has(r.id) ? this.store.chats.get(r.chatId) : null;
      if (!chat || !['RINGING', 'ACTIVE'].includes(r.state) || !Array.isArray(r.members)) continue;
      const members = r.members.filter((m) => isObject(m) && chat.members.includes(m.userId) && states.includes(m.state));
      const ids = new Set(members.map((m) => m.userId));
      if (members.length !== r.members.length || ids.size !== members.length || !ids.has(r.callerId)) continue;
      const text = (value) => (typeof value === 'string' ? value : '');
      const call = {
        id: r.id,
        chatId: chat.id,
        state: r.state,
        callerId: r.callerId,
        members: members.map((m) => ({ userId: m.userId, name: this.store.users.get(m.userId)?.name ?? '', state: m.state, deviceId: '' })),
        createdAt: text(r.createdAt),
        acceptedAt: text(r.acceptedAt),
        grace: new Map(),
        echoTimers: new Set(),
      };
      this.calls.set(call.id, call);
      for (const m of call.members) if (m.state === 'JOINED' && m.userId !== ECHO_USER) this.startGrace(call, m);
    }
  }

  /**
   * Hot path: 50 audio frames a second per speaker. The payload is passed on
   * by reference and serialised once for all receivers.
   */
  relay(socket, event, payload) {
    if (!isObject(payload) || typeof payload.id !== 'string') return;
    const call = this.calls.get(payload.id);
    if (!call || call.state === 'ENDED') return;
    const userId = socket.data.userId;
    const sender = this.memberOf(call, userId);
    if (!sender || sender.state !== 'JOINED' || sender.deviceId !== socket.id) return;
    if (event === 'native_audio') this.echo(call, sender, payload);
    const targets = [];
    for (const m of call.members) {
      if (m !== sender && m.state === 'JOINED' && m.deviceId) targets.push(m.deviceId);
    }
    if (targets.length === 0) return;
    const out = event === 'native_audio'
      ? { id: call.id, from: userId, seq: payload.seq, pcm: payload.pcm, sentAt: payload.sentAt }
      : { id: call.id, from: userId, jpeg: payload.jpeg };
    // Every socket sits in a room named after its id.
    this.io.to(targets).emit(event, out);
  }

  /** The echo contact, if it is in the call, sends the block back to its sender a second later. */
  echo(call, sender, payload) {
    const echo = this.memberOf(call, ECHO_USER);
    if (!echo || echo.state !== 'JOINED' || call.echoTimers.size >= MAX_ECHO_PENDING) return;
    const device = sender.deviceId;
    const back = { id: call.id, from: ECHO_USER, seq: payload.seq, pcm: payload.pcm, sentAt: payload.sentAt };
    const timer = setTimeout(() => {
      call.echoTimers.delete(timer);
      if (call.state !== 'ENDED' && sender.state === 'JOINED' && sender.deviceId === device) {
        this.io.to(device).emit('native_audio', back);
      }
    }, ECHO_DELAY_MS);
    call.echoTimers.add(timer);
  }

  close() {
    this.closed = true;
    for (const call of this.calls.values()) {
      for (const timer of call.grace.values()) clearTimeout(timer);
      call.grace.clear();
      for (const timer of call.echoTimers) clearTimeout(timer);
      call.echoTimers.clear();
    }
  }
}

/**
 * The realtime channel: socket.io over WebSocket only, on the HTTPS server.
 * A connection must present a live session token and the matching user id.
 */
function attachRealtime(server, store, options, log) {
  const io = new Server(server, {
    path: '/socket.io/',
    transports: ['websocket'],
    serveClient: false,
    pingInterval: options.pingInterval,
    pingTimeout: options.pingTimeout,
    connectTimeout: options.connectTimeout,
    maxHttpBufferSize: 1e6,
  });
  const calls = new Calls(io, store, { grace: options.grace, log });

  const guarded = (what, fn) => (...args) => {
    try {
      fn(...args);
    } catch (err) {
      log(`realtime ${what} failed: ${err && err.stack ? err.stack : err}`);
    }
  };

  io.use((socket, next) => {
    const auth = socket.handshake.auth;
    const token = isObject(auth) ? auth.token : undefined;
    const userId = socket.handshake.query.userId;
    const user = store.sessionUser(token);
    if (!user || typeof userId !== 'string' || user.id !== userId) {
      next(new Error('unauthorized'));
      return;
    }
    socket.data.userId = user.id;
    socket.data.token = token;
    next();
  });

  io.on('connection', (socket) => {
    socket.join(userRoom(socket.data.userId));
    const media = bucket(...MEDIA_RATE);
    const control = bucket(...CONTROL_RATE);
    socket.use(([event], next) => {
      const isMedia = event === 'native_audio' || event === 'native_screen';
      if ((isMedia ? media : control)()) {
        next();
      } else if (!isMedia && socket.connected) {
        socket.emit('native_call_error', { message: TOO_MANY_EVENTS });
        socket.disconnect(true);
      }
    });
    socket.on('native_call', guarded('native_call', (payload) => calls.handle(socket, payload)));
    socket.on('native_audio', guarded('native_audio', (payload) => calls.relay(socket, 'native_audio', payload)));
    socket.on('native_screen', guarded('native_screen', (payload) => calls.relay(socket, 'native_screen', payload)));
    socket.on('disconnect', guarded('disconnect', () => calls.disconnected(socket)));
  });

  return {
    io,
    calls,
    /** A signed-out session loses its realtime connections too. */
    dropToken(token) {
      for (const socket of io.of('/').sockets.values()) {
        if (socket.data.token === token) socket.disconnect(true);
      }
    },
    close() {
      calls.close();
      return new Promise((resolve) => io.close(() => resolve()));
    },
  };
}

module.exports = { attachRealtime, Calls, record, TOO_MANY_EVENTS };
