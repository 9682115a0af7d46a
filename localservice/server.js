#!/usr/bin/env node
'use strict';

// Local stand-in for the Tovik messaging service. Prints exactly one line to
// stdout once it listens ("listening on https://127.0.0.1:<port>"); tests and
// the C++ build wait for it. Everything else goes to stderr.

const { parseOptions, UsageError, USAGE } = require('./src/options');
const { startService } = require('./src/app');

async function main() {
  let options;
  try {
    options = parseOptions(process.argv.slice(2), { baseDir: __dirname });
  } catch (err) {
    if (!(err instanceof UsageError)) throw err;
    process.stderr.write(`${err.message}\n\n${USAGE}`);
    process.exit(2);
  }
  if (options.help) {
    process.stdout.write(USAGE);
    return;
  }

  let service;
  try {
    service = await startService(options);
  } catch (err) {
    process.stderr.write(`${err instanceof UsageError ? err.message : err.stack || err}\n`);
    process.exit(err instanceof UsageError ? 2 : 1);
  }
  let stopping = false;
  const stop = () => {
    if (stopping) return;
    stopping = true;
    // Lingering connections must not keep a test run (or a Ctrl+C) waiting.
    setTimeout(() => process.exit(0), 3000).unref();
    service.close().then(() => process.exit(0), () => process.exit(1));
  };
  process.on('SIGTERM', stop);
  process.on('SIGINT', stop);
  // Only now: whoever reads this line may signal us right away.
  process.stdout.write(`listening on https://127.0.0.1:${service.port}\n`);
}

main().catch((err) => {
  process.stderr.write(`${err.stack || err}\n`);
  process.exit(1);
});
