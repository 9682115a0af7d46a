'use strict';

const fs = require('node:fs');
const path = require('node:path');

const USERS = [
  ['u1', 'Анна Соколова'],
  ['u2', 'Борис Орлов'],
  ['u3', 'Вера Лебедева'],
  ['u4', 'Глеб Новиков'],
];

// A contact that answers every call at once and plays back what it hears (realtime.js), so one
// person can check microphone and speakers. Every user has a chat with it; it never signs in.
const ECHO_USER = 'echo';
const ECHO_NAME = 'Эхо-тест';

// Fixed clock for seeded history so that every run (and every client test)
// sees the same timestamps.
const SEED_EPOCH = Date.parse('2025-03-03T09:00:00.000Z');
const MINUTE = 60 * 1000;

const PHRASES = [
  'Доброе утро!',
  'Кто сегодня на созвоне?',
  'Отчёт выложен в общую папку.',
  'Посмотрю после обеда.',
  'Согласна, давайте так и сделаем.',
  'Напомните, во сколько встреча?',
  'Сборка снова зелёная.',
  'Спасибо за помощь!',
  'Переношу задачу на следующую неделю.',
  'Есть пять минут обсудить макет?',
];

const NOTES_TEXT = [
  'Заметки к встрече',
  '',
  '1. Проверить вход по QR-коду.',
  '2. Обсудить звонки в групповых чатах.',
  '3. Выложить сборку для демонстрации.',
  '',
].join('\n');

function at(minutes) {
  return new Date(SEED_EPOCH + minutes * MINUTE).toISOString();
}

function addHistory(store, chatId, lines, startMinute) {
  lines.forEach(([senderId, content], i) => {
    store.addMessage(chatId, { senderId, content, createdAt: at(startMinute + i) });
  });
}

/**
 * Fills the store with the fixed users and chats the client tests rely on.
 * The "general" chat holds `bigChatMessages` messages in total (at least 3):
 * the third from last is deleted, the second from last carries notes.txt.
 */
function seed(store, { filesDir, bigChatMessages = 300, extraChats = 0, bigFile = null }) {
  for (const [id, name] of USERS) store.addUser(id, name);

  store.addChat('general', 'Общий чат', ['u1', 'u2', 'u3']);
  const senders = ['u1', 'u2', 'u3'];
  const total = Math.max(3, bigChatMessages);
  const notesPath = path.join(filesDir, 'notes.txt');
  fs.writeFileSync(notesPath, NOTES_TEXT);
  const notes = store.addFile({
    chatId: 'general',
    name: 'notes.txt',
    path: notesPath,
    size: Buffer.byteLength(NOTES_TEXT),
  });
  for (let i = 0; i < total; i++) {
    const senderId = senders[(i * 7 + Math.floor(i / 3)) % senders.length];
    const createdAt = at(i);
    if (i === total - 3) {
      store.addMessage('general', { type: 'DELETED', content: '', senderId: 'u2', createdAt });
    } else if (i === total - 2) {
      store.addMessage('general', { type: 'FILE', content: '', senderId: 'u1', fileId: notes.id, createdAt });
    } else {
      store.addMessage('general', { senderId, content: `${PHRASES[i % PHRASES.length]} (${i + 1})`, createdAt });
    }
  }

  store.addChat('u1-u2', 'Анна и Борис', ['u1', 'u2']);
  addHistory(store, 'u1-u2', [
    ['u2', 'Привет! Ты видела новый макет?'],
    ['u1', 'Да, выглядит отлично.'],
    ['u2', 'Тогда созвонимся вечером.'],
  ], 10);

  store.addChat('team/design', 'Дизайн', ['u1', 'u3']);
  addHistory(store, 'team/design', [
    ['u3', 'Загрузила новые иконки.'],
    ['u1', 'Спасибо, посмотрю сегодня.'],
  ], 20);

  store.addChat('u2-u3', 'Борис и Вера', ['u2', 'u3']);
  addHistory(store, 'u2-u3', [
    ['u2', 'Вера, это личный разговор.'],
    ['u3', 'Хорошо, Борис.'],
  ], 30);

  store.addChat('u1-u4', 'Анна и Глеб', ['u1', 'u4']);
  addHistory(store, 'u1-u4', [
    ['u4', 'Анна, привет!'],
    ['u1', 'Привет, Глеб.'],
  ], 40);

  store.addUser(ECHO_USER, ECHO_NAME);
  USERS.forEach(([id], i) => {
    store.addChat(`echo-${id}`, ECHO_NAME, [id, ECHO_USER]);
    addHistory(store, `echo-${id}`, [
      [ECHO_USER, 'Позвоните мне: я повторю всё, что услышу, через секунду.'],
    ], 45 + i);
  });

  for (let i = 1; i <= extraChats; i++) {
    const id = `extra-${i}`;
    store.addChat(id, `Чат ${i}`, ['u1', 'u2']);
    store.addMessage(id, { senderId: 'u2', content: `Сообщение в чате ${i}`, createdAt: at(50 + i) });
  }

  if (bigFile) {
    const stat = fs.statSync(bigFile);
    if (!stat.isFile()) throw new Error(`--big-file ${bigFile} is not a regular file`);
    const size = stat.size;
    const file = store.addFile({ chatId: 'general', name: path.basename(bigFile), path: bigFile, size });
    store.addMessage('general', {
      type: 'FILE', content: '', senderId: 'u2', fileId: file.id, createdAt: at(total),
    });
  }
}

module.exports = { seed, USERS, ECHO_USER };
