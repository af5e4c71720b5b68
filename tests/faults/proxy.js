'use strict';
// Fault-injecting HTTP proxy for the tests, in front of the local S3 test
// server. Requests pass through unchanged (the Host header included, so
// signatures still verify) until a rule matches; a matching request then
// suffers the rule's fault instead.
//
//   node proxy.js --port 0 --upstream PORT
//
// Prints "listening on 127.0.0.1:PORT" once ready; stops on SIGTERM/SIGINT.
//
// Control requests (never forwarded):
//   PUT    /__proxy/rules   body: JSON array of rules, replacing the current
//                           ones ([]: everything passes); starts a new log
//   GET    /__proxy/stats   {"requests": n, "held": n, "hits": [per rule], "log": ["METHOD url -> what"]}
//                           held and log count from the last PUT of the rules
//
// A rule: {"method": "GET", "path": "regex on the request line's URL",
//          "skip": n (let the first n matches pass), "times": n (then fault
//          this many, default every one), "fault": one of
//   "status"       answer "status" (default 500) with "body", or else an
//                  S3-style error body, and one more "header" ("Name: value")
//                  when given; no upstream is asked, so the proxy also stands
//                  in for any other HTTP server
//   "close"        close the connection without an answer
//   "close-mid"    forward, send the headers and half the body, then reset
//   "truncate"     forward, announce the full length, send half, then close
//   "stall"        wait "delayMs" (default 1500), then forward normally
//   "flip"         forward, but change one byte of the answer's body (at
//                  "offset", default the middle; XOR with "xor", default 0x20)
//   "flip-request" change one byte of the request's body before forwarding
//   "hold"         never answer (until the client goes away)
// }

const http = require('http');

function parseArgs(argv) {
  const opts = { port: 0, upstream: 0 };
  for (let i = 0; i + 1 < argv.length; i += 2) {
    if (argv[i] === '--port') opts.port = Number(argv[i + 1]);
    else if (argv[i] === '--upstream') opts.upstream = Number(argv[i + 1]);
    else throw new Error('bad argument: ' + argv[i]);
  }
  if (!opts.upstream) throw new Error('--upstream PORT is required');
  return opts;
}

const FAULTS = ['status', 'close', 'close-mid', 'truncate', 'stall', 'flip', 'flip-request', 'hold'];

function compileRules(list) {
  if (!Array.isArray(list)) throw new Error('rules must be an array');
  return list.map(r => {
    if (!FAULTS.includes(r.fault)) throw new Error('unknown fault: ' + r.fault);
    return { ...r, re: new RegExp(r.path || ''), seen: 0, hits: 0 };
  });
}

// The rule whose fault this request suffers, counting matches as it goes.
function pickRule(rules, req) {
  for (const rule of rules) {
    if (rule.method && rule.method !== req.method) continue;
    if (!rule.re.test(req.url)) continue;
    rule.seen++;
    if (rule.seen <= (rule.skip || 0)) continue;
    if (rule.times !== undefined && rule.hits >= rule.times) continue;
    rule.hits++;
    return rule;
  }
  return null;
}

function errorXml(status) {
  const code = status === 503 ? 'SlowDown' : 'InternalError';
  return `<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>${code}</Code><Message>injected fault</Message></Error>`;
}

function main() {
  const opts = parseArgs(process.argv.slice(2));
  const state = { rules: [], requests: 0, held: 0, log: [] };
  const heldSockets = new Set();

  const control = (req, res, body) => {
    const reply = (status, obj) => {
      const text = JSON.stringify(obj);
      res.writeHead(status, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text) });
      res.end(text);
    };
    try {
      if (req.url === '/__proxy/rules' && req.method === 'PUT') {
        state.rules = compileRules(JSON.parse(body.toString('utf8')));
        state.held = 0;
        state.log = [];
        return reply(200, { rules: state.rules.length });
      }
      if (req.url === '/__proxy/stats' && req.method === 'GET') {
        return reply(200, { requests: state.requests, held: state.held, hits: state.rules.map(r => r.hits), log: state.log });
      }
      return reply(404, { error: 'unknown control request' });
    } catch (e) {
      return reply(400, { error: String(e.message) });
    }
  };

  // Forwards the request and hands the whole answer to done(status, headers, body).
  const forward = (req, body, done, failed) => {
    const headers = { ...req.headers, 'content-length': String(body.length) };
    delete headers['transfer-encoding'];
    delete headers['expect'];
    const up = http.request({ host: '127.0.0.1', port: opts.upstream, method: req.method, path: req.url, headers }, answer => {
      const pieces = [];
      answer.on('data', d => pieces.push(d));
      answer.on('end', () => done(answer.statusCode, answer.headers, Buffer.concat(pieces)));
      answer.on('error', failed);
    });
    up.on('error', failed);
    up.end(body);
  };

  const server = http.createServer((req, res) => {
    const pieces = [];
    req.on('data', d => pieces.push(d));
    req.on('error', () => res.destroy());
    req.on('end', () => {
      let body = Buffer.concat(pieces);
      if (req.url.startsWith('/__proxy/')) return control(req, res, body);
      state.requests++;
      const rule = pickRule(state.rules, req);
      const fault = rule ? rule.fault : 'pass';
      const auth = req.headers['authorization'] || '';
      state.log.push(`${req.method} ${req.url} -> ${fault}` + (auth.startsWith('Bearer ') ? ` [${auth}]` : ''));
      if (state.log.length > 10000) state.log.shift();

      const failed = e => {
        res.writeHead(502, { 'Content-Type': 'text/plain' });
        res.end('upstream failed: ' + e.message + '\n');
      };
      const send = (status, headers, answer) => {
        res.writeHead(status, headers);
        res.end(req.method === 'HEAD' ? undefined : answer);
      };

      switch (fault) {
        case 'status': {
          const status = rule.status || 500;
          const text = rule.body !== undefined ? rule.body : errorXml(status);
          const headers = { 'Content-Type': 'application/xml', 'Content-Length': Buffer.byteLength(text) };
          if (rule.header) {
            const colon = rule.header.indexOf(':');
            headers[rule.header.slice(0, colon)] = rule.header.slice(colon + 1).trim();
          }
          res.writeHead(status, headers);
          return res.end(req.method === 'HEAD' ? undefined : text);
        }
        case 'close':
          return req.socket.destroy();
        case 'hold':
          state.held++;
          heldSockets.add(req.socket);
          req.socket.on('close', () => heldSockets.delete(req.socket));
          return;
        case 'stall':
          return setTimeout(() => forward(req, body, send, failed), rule.delayMs || 1500);
        case 'flip-request':
          if (body.length > 0) {
            body = Buffer.from(body);
            const at = rule.offset !== undefined ? Math.min(rule.offset, body.length - 1) : body.length >> 1;
            body[at] ^= rule.xor || 0x20;
          }
          return forward(req, body, send, failed);
        case 'close-mid':
        case 'truncate':
          return forward(req, body, (status, headers, answer) => {
            res.writeHead(status, headers);
            const half = answer.subarray(0, answer.length >> 1);
            // close-mid resets the connection; truncate ends it cleanly, short of
            // the length it announced.
            res.write(half, () => (fault === 'truncate' ? res.socket.end() : res.socket.destroy()));
          }, failed);
        case 'flip':
          return forward(req, body, (status, headers, answer) => {
            if (answer.length > 0) {
              answer = Buffer.from(answer);
              const at = rule.offset !== undefined ? Math.min(rule.offset, answer.length - 1) : answer.length >> 1;
              answer[at] ^= rule.xor || 0x20;
            }
            send(status, headers, answer);
          }, failed);
        default:
          return forward(req, body, send, failed);
      }
    });
  });

  server.listen(opts.port, '127.0.0.1', () => {
    process.stdout.write('listening on 127.0.0.1:' + server.address().port + '\n');
  });
  const stop = () => {
    for (const s of heldSockets) s.destroy();
    server.close(() => process.exit(0));
    setTimeout(() => process.exit(0), 1000).unref();
  };
  process.on('SIGTERM', stop);
  process.on('SIGINT', stop);
}

try {
  main();
} catch (e) {
  console.error(e.message);
  process.exit(2);
}
