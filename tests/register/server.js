'use strict';
// Stand-in for the family server in tests: records every request and answers
// with the status the test chose.
//
//   node server.js --port 0 --log FILE
//
// The answer is chosen by the first segments of the request path, so a test
// picks it through the base URL it hands to the program:
//   /status/NNN/...   answers NNN (e.g. 409, 500)
//   /redirect/...     answers 302 with Location: /moved
//   anything else     answers 201
// Each request is appended to FILE, before the answer is sent, as one JSON
// line: {"method", "path", "query", "authorization", "bodyLength"}, where
// authorization is null when the header was absent.
//
// Prints "listening on 127.0.0.1:PORT" once ready; stops on SIGTERM/SIGINT.

const fs = require('fs');
const http = require('http');

function parseArgs(argv) {
  const opts = { port: 0, log: '' };
  for (let i = 0; i < argv.length; i++) {
    if (argv[i] === '--port' && i + 1 < argv.length) {
      opts.port = Number(argv[++i]);
    } else if (argv[i] === '--log' && i + 1 < argv.length) {
      opts.log = argv[++i];
    } else {
      throw new Error('bad argument: ' + argv[i]);
    }
  }
  if (!opts.log) throw new Error('--log is required');
  return opts;
}

function answerFor(path) {
  const status = /^\/status\/([0-9]{3})(\/|$)/.exec(path);
  if (status) return { status: Number(status[1]), headers: {} };
  if (path === '/redirect' || path.startsWith('/redirect/')) {
    return { status: 302, headers: { Location: '/moved' } };
  }
  return { status: 201, headers: {} };
}

function main() {
  const opts = parseArgs(process.argv.slice(2));
  fs.writeFileSync(opts.log, '');
  const server = http.createServer((req, res) => {
    let bodyLength = 0;
    req.on('data', chunk => {
      bodyLength += chunk.length;
    });
    req.on('end', () => {
      const at = req.url.indexOf('?');
      const path = at < 0 ? req.url : req.url.slice(0, at);
      const query = at < 0 ? '' : req.url.slice(at + 1);
      const auth = req.headers['authorization'];
      const record = {
        method: req.method,
        path,
        query,
        authorization: auth === undefined ? null : auth,
        bodyLength,
      };
      fs.appendFileSync(opts.log, JSON.stringify(record) + '\n');
      const answer = answerFor(path);
      const body = JSON.stringify({ status: answer.status });
      res.writeHead(answer.status, {
        ...answer.headers,
        'Content-Type': 'application/json',
        'Content-Length': Buffer.byteLength(body),
        Connection: 'close',
      });
      res.end(body);
    });
  });
  server.listen(opts.port, '127.0.0.1', () => {
    console.log('listening on 127.0.0.1:' + server.address().port);
  });
  const stop = () => {
    server.close(() => process.exit(0));
    // Idle keep-alive sockets would otherwise hold close() open.
    setTimeout(() => process.exit(0), 500).unref();
  };
  process.on('SIGTERM', stop);
  process.on('SIGINT', stop);
}

main();
