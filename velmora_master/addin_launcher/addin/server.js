#!/usr/bin/env node
// Sample add-in HTTPS server, started by AddinServerManager in development mode:
//
//   node server.js --cert FILE --key FILE --port N --server-port N --logging-level LEVEL
//                  [--watchdog-port N] [--auth-token TOKEN] [--docs-port N]
//
// It serves the add-in page on https://localhost:PORT/ and a JSON health report
// on /health, and exits cleanly on SIGTERM or SIGINT. For callers that measure
// their own overhead: when the environment names VELMORA_READY_FILE, the moments
// the process started (processStart), asked to listen (listenAt: the socket
// listens within a tick after it) and was told it listens (readyAt) are written
// there as JSON, in milliseconds since the epoch to the microsecond;
// VELMORA_EXIT_FILE gets the moment it exits.
'use strict';

const fs = require('fs');
const https = require('https');

const startedAt = Date.now();

// Date.now() has whole milliseconds only, and performance.timeOrigin may be milliseconds off the wall clock:
// for a caller that measures, the wall clock is read as it turns to a new millisecond, and the monotonic clock
// counts on from there.
const measured = Boolean(process.env.VELMORA_READY_FILE || process.env.VELMORA_EXIT_FILE);
const clockOrigin = (() => {
  if (!measured) return performance.timeOrigin;
  const before = Date.now();
  let turned;
  while ((turned = Date.now()) === before);
  return turned - performance.now();
})();
const wallClock = () => clockOrigin + performance.now();

function parseArgs(argv) {
  const options = {};
  for (let i = 0; i < argv.length; i += 2) {
    const flag = argv[i];
    if (!flag.startsWith('--') || i + 1 >= argv.length) {
      throw new Error(`expected --option value pairs, got ${JSON.stringify(argv.slice(i))}`);
    }
    options[flag.slice(2)] = argv[i + 1];
  }
  for (const required of ['cert', 'key', 'port', 'server-port', 'logging-level']) {
    if (!(required in options)) throw new Error(`missing --${required}`);
  }
  return options;
}

const LEVELS = { DEBUG: 10, INFO: 20, WARNING: 30, ERROR: 40, CRITICAL: 50 };

let options;
try {
  options = parseArgs(process.argv.slice(2));
} catch (err) {
  console.error(`server.js: ${err.message}`);
  process.exit(2);
}
const threshold = LEVELS[options['logging-level']] ?? LEVELS.INFO;
const log = (level, message) => {
  if (LEVELS[level] >= threshold) console.error(`[addin-server] ${level} ${message}`);
};

const page = `<!doctype html>
<html><head><meta charset="utf-8"><title>Velmora Add-in</title></head>
<body><h1>Velmora Add-in</h1><p>The add-in server is running.</p></body></html>
`;

const server = https.createServer(
  { cert: fs.readFileSync(options.cert), key: fs.readFileSync(options.key) },
  (req, res) => {
    log('DEBUG', `${req.method} ${req.url}`);
    if (req.url === '/health') {
      res.writeHead(200, { 'content-type': 'application/json' });
      res.end(JSON.stringify({
        status: 'ok',
        pid: process.pid,
        port: Number(options.port),
        serverPort: Number(options['server-port']),
        watchdogPort: options['watchdog-port'] ? Number(options['watchdog-port']) : null,
        docsPort: options['docs-port'] ? Number(options['docs-port']) : null,
        authTokenSet: Boolean(options['auth-token']),
        uptimeMs: Date.now() - startedAt,
      }));
      return;
    }
    res.writeHead(200, { 'content-type': 'text/html; charset=utf-8' });
    res.end(page);
  },
);

server.on('error', (err) => {
  log('ERROR', err.message);
  process.exit(1);
});

// listen() first looks the host up and loads what it needs, then binds and listens in one step (_listen2):
// when measured, the moment is read just before that step, so that no waiter is credited with the server's
// own work. Where that step is not to be found, the moment listen() is called, earlier still.
let listenAt = wallClock();
if (measured && typeof server._listen2 === 'function') {
  const bindAndListen = server._listen2;
  server._listen2 = function (...args) {
    listenAt = wallClock();
    return bindAndListen.apply(this, args);
  };
}
server.listen(Number(options.port), '127.0.0.1', () => {
  if (process.env.VELMORA_READY_FILE) {
    fs.writeFileSync(process.env.VELMORA_READY_FILE,
      JSON.stringify({ processStart: clockOrigin, listenAt, readyAt: wallClock() }));
  }
  log('INFO', `listening on https://localhost:${options.port}`);
});

for (const signal of ['SIGTERM', 'SIGINT']) {
  process.on(signal, () => {
    log('INFO', `${signal} received, shutting down`);
    server.close();
    server.closeAllConnections();
    if (process.env.VELMORA_EXIT_FILE) fs.writeFileSync(process.env.VELMORA_EXIT_FILE, String(wallClock()));
    process.exit(0);
  });
}
