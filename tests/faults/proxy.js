'use strict';
// Fault-injecting HTTP proxy for the tests, in front of the local S3 test
// server. Requests pass through unchanged (the Host header included, so
// signatures still verify) until a rule matches; a matching request then
// suffers the rule's fault instead.
//
//   node proxy.js --port 0 --upstream PORT
//
// Prints "listening on 127.0.0.1:PORT" once ready; stops on SIGTERM/SIGINT.
// Control requests, never forwarded:
//   GET /__proxy/rules?JSON   a JSON array of rules (URL-encoded) replacing the
//                        current ones ([]: everything passes); starts a new log
//   GET /__proxy/stats   {"requests": n, "held": n, "hits": [per rule],
//                        "log": ["METHOD url -> fault [Bearer token]"]}
//
// A rule: {"method": "GET", "path": "regex on the URL", "skip": n (let the
// first n matches pass), "times": n (then fault this many; default all),
// "fault": one of
//   "status"       answer "status" (default 500) with "body" or else an S3
//                  error document, and one more "header" ("Name: value");
//                  no upstream is asked, so the proxy can stand in for any server
//   "close"        close the connection without an answer
//   "close-mid"    forward, send the headers and half the body, then reset
//   "truncate"     forward, announce the full length, send half, then close
//   "stall"        wait "delayMs" (default 1500), then forward
//   "flip"         forward, changing one byte of the answer's body (at
//                  "offset", default the middle)
//   "flip-request" change one byte of the request's body before forwarding
//   "hold"         never answer (until the client goes away)
// }

const http = require('http');

const FAULTS = ['status', 'close', 'close-mid', 'truncate', 'stall', 'flip', 'flip-request', 'hold'];

const argv = process.argv.slice(2);
const upstream = Number(argv[argv.indexOf('--upstream') + 1]);
const port = Number(argv[argv.indexOf('--port') + 1]);
const state = { rules: [], requests: 0, held: 0, log: [] };
const heldSockets = new Set();

// The rule whose fault this request suffers, counting matches as it goes.
function pickRule(req) {
  for (const rule of state.rules) {
    if ((rule.method && rule.method !== req.method) || !rule.re.test(req.url)) continue;
    if (++rule.seen <= (rule.skip || 0) || (rule.times !== undefined && rule.hits >= rule.times)) continue;
    rule.hits++;
    return rule;
  }
  return null;
}

function flipped(buffer, offset) {
  if (buffer.length === 0) return buffer;
  const out = Buffer.from(buffer);
  out[offset !== undefined ? Math.min(offset, out.length - 1) : out.length >> 1] ^= 0x20;
  return out;
}

function control(req, res) {
  const reply = (status, obj) => {
    const text = JSON.stringify(obj);
    res.writeHead(status, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text) });
    res.end(text);
  };
  try {
    if (req.url.startsWith('/__proxy/rules?')) {
      const rules = JSON.parse(decodeURIComponent(req.url.slice('/__proxy/rules?'.length)));
      if (!Array.isArray(rules) || rules.some(r => !FAULTS.includes(r.fault))) throw new Error('bad rules');
      state.rules = rules.map(r => ({ ...r, re: new RegExp(r.path || ''), seen: 0, hits: 0 }));
      state.held = 0;
      state.log = [];
      return reply(200, { rules: state.rules.length });
    }
    if (req.url === '/__proxy/stats') {
      return reply(200, { requests: state.requests, held: state.held, hits: state.rules.map(r => r.hits), log: state.log });
    }
    return reply(404, { error: 'unknown control request' });
  } catch (e) {
    return reply(400, { error: String(e.message) });
  }
}

// Forwards the request and hands the whole answer to done(status, headers, body).
function forward(req, body, res, done) {
  const headers = { ...req.headers, 'content-length': String(body.length) };
  delete headers['transfer-encoding'];
  delete headers['expect'];
  const failed = e => {
    res.writeHead(502, { 'Content-Type': 'text/plain' });
    res.end('upstream failed: ' + e.message + '\n');
  };
  const up = http.request({ host: '127.0.0.1', port: upstream, method: req.method, path: req.url, headers }, answer => {
    const pieces = [];
    answer.on('data', d => pieces.push(d));
    answer.on('end', () => done(answer.statusCode, answer.headers, Buffer.concat(pieces)));
    answer.on('error', failed);
  });
  up.on('error', failed);
  up.end(body);
}

const server = http.createServer((req, res) => {
  const pieces = [];
  req.on('data', d => pieces.push(d));
  req.on('error', () => res.destroy());
  req.on('end', () => {
    const body = Buffer.concat(pieces);
    if (req.url.startsWith('/__proxy/')) return control(req, res);
    state.requests++;
    const rule = pickRule(req);
    const fault = rule ? rule.fault : 'pass';
    const auth = req.headers['authorization'] || '';
    state.log.push(`${req.method} ${req.url} -> ${fault}` + (auth.startsWith('Bearer ') ? ` [${auth}]` : ''));
    if (state.log.length > 10000) state.log.shift();
    const send = (status, headers, answer) => {
      res.writeHead(status, headers);
      res.end(req.method === 'HEAD' ? undefined : answer);
    };
    switch (fault) {
      case 'status': {
        const status = rule.status || 500;
        const code = status === 503 ? 'SlowDown' : 'InternalError';
        const text = rule.body !== undefined ? rule.body
          : `<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>${code}</Code><Message>injected fault</Message></Error>`;
        const headers = { 'Content-Type': 'application/xml', 'Content-Length': Buffer.byteLength(text) };
        if (rule.header) headers[rule.header.split(':')[0]] = rule.header.slice(rule.header.indexOf(':') + 1).trim();
        return send(status, headers, text);
      }
      case 'close':
        return req.socket.destroy();
      case 'hold':
        state.held++;
        heldSockets.add(req.socket);
        return req.socket.on('close', () => heldSockets.delete(req.socket));
      case 'stall':
        return setTimeout(() => forward(req, body, res, send), rule.delayMs || 1500);
      case 'flip-request':
        return forward(req, flipped(body, rule.offset), res, send);
      case 'flip':
        return forward(req, body, res, (status, headers, answer) => send(status, headers, flipped(answer, rule.offset)));
      case 'close-mid':
      case 'truncate':
        // close-mid resets the connection; truncate ends it cleanly, short of the announced length.
        return forward(req, body, res, (status, headers, answer) => {
          res.writeHead(status, headers);
          res.write(answer.subarray(0, answer.length >> 1), () => (fault === 'truncate' ? res.socket.end() : res.socket.destroy()));
        });
      default:
        return forward(req, body, res, send);
    }
  });
});

server.listen(port, '127.0.0.1', () => process.stdout.write('listening on 127.0.0.1:' + server.address().port + '\n'));
const stop = () => {
  for (const s of heldSockets) s.destroy();
  server.close(() => process.exit(0));
  setTimeout(() => process.exit(0), 1000).unref();
};
process.on('SIGTERM', stop);
process.on('SIGINT', stop);
