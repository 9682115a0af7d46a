'use strict';

const crypto = require('node:crypto');

const FLOW_TTL_MS = 10 * 60 * 1000;
const MAX_FLOWS = 10000;
const MAX_SESSIONS = 10000;
// A chat keeps its newest messages within both caps, so that its history (sent whole, as
// the contract has no paging) stays a reply of a few megabytes: well under what clients read.
const MAX_MESSAGES_PER_CHAT = 10000;
const MAX_CHAT_TEXT_BYTES = 8 * 1024 * 1024;
// Uploaded files kept on disk, all chats together; past it uploads are refused.
const MAX_UPLOAD_BYTES = 1024 * 1024 * 1024;

function randomToken(bytes = 32) {
  return crypto.randomBytes(bytes).toString('base64url');
}

function randomCode() {
  const n = crypto.randomInt(0, 1000000);
  const s = String(n).padStart(6, '0');
  return `${s.slice(0, 4)}-${s.slice(4)}`;
}

/**
 * Everything the service knows lives here, in memory. Sign-in flows and
 * sessions are capped so that a client hammering /start cannot grow the
 * process without bound; the oldest entries go first (Map keeps insertion
 * order, which is also age order here).
 */
class Store {
  constructor({
    now = Date.now, flowTtl = FLOW_TTL_MS, maxFlows = MAX_FLOWS, maxSessions = MAX_SESSIONS,
    maxMessages = MAX_MESSAGES_PER_CHAT, maxChatText = MAX_CHAT_TEXT_BYTES, maxUploadBytes = MAX_UPLOAD_BYTES,
    removeFile = () => {},
  } = {}) {
    this.now = now;
    this.flowTtl = flowTtl;
    this.maxFlows = maxFlows;
    this.maxSessions = maxSessions;
    this.maxMessages = maxMessages;
    this.maxChatText = maxChatText;
    this.maxUploadBytes = maxUploadBytes;
    this.removeFile = removeFile;
    this.uploadBytes = 0;
    this.users = new Map();
    this.chats = new Map();
    this.files = new Map();
    this.flows = new Map();
    this.flowsBySecret = new Map();
    this.sessions = new Map();
    this.onSessionsChanged = () => {};
    this.nextMessage = 1;
  }

  addUser(id, name) {
    this.users.set(id, { id, name });
  }

  addChat(id, name, members) {
    const chat = { id, name, members: [...members], messages: [], textBytes: 0 };
    this.chats.set(id, chat);
    return chat;
  }

  /** Whether `size` more uploaded bytes still fit on disk. */
  uploadFits(size) {
    return this.uploadBytes + size <= this.maxUploadBytes;
  }

  /** `uploaded` files count against the upload cap and are removed from disk with their message. */
  addFile({ chatId, name, path, size, uploaded = false }) {
    const file = { id: randomToken(16), chatId, name, path, size, uploaded };
    this.files.set(file.id, file);
    if (uploaded) this.uploadBytes += size;
    return file;
  }

  dropMessage(chat) {
    const message = chat.messages.shift();
    chat.textBytes -= message.textBytes;
    const file = message.fileId ? this.files.get(message.fileId) : null;
    if (file && file.uploaded) {
      this.files.delete(file.id);
      this.uploadBytes -= file.size;
      this.removeFile(file.path);
    }
  }

  addMessage(chatId, { type = 'TEXT', content = '', senderId, fileId = null, createdAt }) {
    const chat = this.chats.get(chatId);
    const message = {
      id: `m${this.nextMessage++}`,
      type,
      content,
      senderId,
      fileId,
      createdAt: createdAt ?? new Date(this.now()).toISOString(),
      textBytes: Buffer.byteLength(JSON.stringify(content)),
    };
    chat.messages.push(message);
    chat.textBytes += message.textBytes;
    // The oldest go first; the newest message always stays.
    while (chat.messages.length > 1 && (chat.messages.length > this.maxMessages || chat.textBytes > this.maxChatText)) {
      this.dropMessage(chat);
    }
    return message;
  }

  isMember(chat, userId) {
    return chat.members.includes(userId);
  }

  /** The chat if the user may see it; unknown and foreign chats look the same. */
  chatFor(userId, chatId) {
    const chat = this.chats.get(chatId);
    return chat && this.isMember(chat, userId) ? chat : null;
  }

  chatsFor(userId) {
    const out = [];
    for (const chat of this.chats.values()) if (this.isMember(chat, userId)) out.push(chat);
    return out;
  }

  messageJson(message, baseUrl) {
    const sender = this.users.get(message.senderId);
    const file = message.fileId ? this.files.get(message.fileId) : null;
    return {
      id: message.id,
      type: message.type,
      content: message.content,
      fileName: file ? file.name : '',
      senderId: message.senderId,
      senderName: sender ? sender.name : '',
      mediaUrl: file ? `${baseUrl}/auth/flow/web/files/${encodeURIComponent(file.id)}` : '',
      createdAt: message.createdAt,
    };
  }

  // --- sign-in flows -------------------------------------------------------

  createFlow() {
    this.dropExpiredFlows();
    while (this.flows.size >= this.maxFlows) this.removeFlow(this.flows.values().next().value);
    const flow = {
      id: randomToken(18),
      secret: randomToken(32),
      code: randomCode(),
      createdAt: this.now(),
      status: 'pending',
      userId: null,
      token: null,
      claimed: false,
      timer: null,
    };
    this.flows.set(flow.id, flow);
    this.flowsBySecret.set(flow.secret, flow);
    return flow;
  }

  removeFlow(flow) {
    if (flow.timer) clearTimeout(flow.timer);
    this.flows.delete(flow.id);
    this.flowsBySecret.delete(flow.secret);
  }

  expired(flow) {
    return this.now() - flow.createdAt >= this.flowTtl;
  }

  dropExpiredFlows() {
    for (const flow of this.flows.values()) {
      if (!this.expired(flow)) break; // oldest first: the rest are younger
      this.removeFlow(flow);
    }
  }

  live(flow) {
    if (!flow) return null;
    if (this.expired(flow)) {
      this.removeFlow(flow);
      return null;
    }
    return flow;
  }

  flowById(id) {
    return typeof id === 'string' ? this.live(this.flows.get(id)) : null;
  }

  flowBySecret(secret) {
    return typeof secret === 'string' ? this.live(this.flowsBySecret.get(secret)) : null;
  }

  /** Returns false when the flow was already decided; the first answer wins. */
  decideFlow(flow, decision, userId) {
    if (flow.status !== 'pending') return false;
    if (flow.timer) clearTimeout(flow.timer);
    flow.timer = null;
    if (decision === 'confirm') {
      flow.status = 'confirmed';
      flow.userId = userId;
    } else {
      flow.status = 'denied';
    }
    return true;
  }

  /**
   * What a status poll sees. The session is minted on the first poll after
   * confirmation so that a confirmed flow nobody picks up leaves no session.
   */
  pollFlow(flow) {
    if (flow.status === 'pending' || flow.status === 'denied') return { status: flow.status };
    if (!flow.claimed) {
      flow.claimed = true;
      flow.token = this.createSession(flow.userId).token;
      return { status: 'authenticated', token: flow.token };
    }
    return { status: 'claimed', token: flow.token };
  }

  // --- sessions ------------------------------------------------------------

  createSession(userId, token = randomToken(32), { pinned = false } = {}) {
    if (!pinned) {
      let unpinned = 0;
      for (const s of this.sessions.values()) if (!s.pinned) unpinned++;
      for (const s of this.sessions.values()) {
        if (unpinned < this.maxSessions) break;
        if (!s.pinned) {
          this.sessions.delete(s.token);
          unpinned--;
        }
      }
    }
    const session = { token, userId, pinned };
    this.sessions.set(token, session);
    if (!pinned) this.onSessionsChanged();
    return session;
  }

  /** The signed-in user for a token, or null. */
  sessionUser(token) {
    if (typeof token !== 'string') return null;
    const session = this.sessions.get(token);
    return session ? this.users.get(session.userId) || null : null;
  }

  endSession(token) {
    const ended = typeof token === 'string' && this.sessions.delete(token);
    if (ended) this.onSessionsChanged();
    return ended;
  }
}

module.exports = { Store, randomToken, FLOW_TTL_MS, MAX_FLOWS, MAX_MESSAGES_PER_CHAT };
