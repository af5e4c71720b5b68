'use strict';
// Fault injection for the local S3 test server. A request whose path starts
// with /__faults loses that prefix and is served as usual until a rule
// matches; a matching request then suffers the rule's fault instead. The
// program's endpoint is the server's base URL plus /__faults.
//
// Control requests, never served:
//   GET /__faults/__control/rules?JSON  a JSON array of rules (URL-encoded)
//                        replacing the current ones ([]: everything passes); starts a new log
//   GET /__faults/__control/stats  {"requests": n, "held": n, "hits": [per rule],
//                        "log": ["METHOD url -> fault [Bearer token]"],
//                        "forwarding": requests handed to s3rver and not yet answered,
//                        whether or not their client is still there}
//   GET /__faults/__control/release  serves the requests held so far as if
//                        they had passed (those whose client went away are dropped)
//
// A rule: {"method": "GET", "path": "regex on the URL without the prefix",
// "skip": n (let the first n matches pass), "times": n (then fault this many;
// default all), "fault": one of
//   "status"       answer "status" (default 500) with "body" or else an S3
//                  error document, and one more "header" ("Name: value");
//                  nothing is served, so this stands in for any server
//   "close"        close the connection without an answer
//   "close-mid"    serve, send the headers and half the body, then reset
//   "truncate"     serve, announce the full length, send half, then close
//   "stall"        wait "delayMs" (default 1500), then serve
//   "flip"         serve, changing one byte of the answer's body (at
//                  "offset", default the middle)
//   "flip-request" change one byte of the request's body before serving it
//   "hold"         answer only when released (never, if the client goes away first)
// }

const PREFIX = '/__faults';
const KINDS = ['status', 'close', 'close-mid', 'truncate', 'stall', 'flip', 'flip-request', 'hold'];
const state = { rules: [], requests: 0, held: 0, log: [], forwarding: 0 };
const heldSockets = new Map();  // socket -> serves its held request

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
    if (req.url.startsWith('/__control/rules?')) {
      const rules = JSON.parse(decodeURIComponent(req.url.slice('/__control/rules?'.length)));
      if (!Array.isArray(rules) || rules.some(r => !KINDS.includes(r.fault))) throw new Error('bad rules');
      state.rules = rules.map(r => ({ ...r, re: new RegExp(r.path || ''), seen: 0, hits: 0 }));
      state.held = 0;
      state.log = [];
      return reply(200, { rules: state.rules.length });
    }
    if (req.url === '/__control/release') {
      const resumes = [...heldSockets.values()];
      heldSockets.clear();
      resumes.forEach(resume => resume());
      return reply(200, { released: resumes.length });
    }
    if (req.url === '/__control/stats') {
      return reply(200, { requests: state.requests, held: state.held, hits: state.rules.map(r => r.hits), log: state.log, forwarding: state.forwarding });
    }
    return reply(404, { error: 'unknown control request' });
  } catch (e) {
    return reply(400, { error: String(e.message) });
  }
}

// Whether the request is one for this layer.
const wanted = req => req.url.startsWith(PREFIX + '/');

// Handles a wanted request. serve(req, body, res, whole) serves it as usual:
// piped into res, or with `whole` collected and handed to whole(status, headers, body).
function handle(req, body, res, serve) {
  req.url = req.url.slice(PREFIX.length);
  if (req.url.startsWith('/__control/')) return control(req, res);
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
      heldSockets.set(req.socket, () => serve(req, body, res));
      return req.socket.on('close', () => heldSockets.delete(req.socket));
    case 'stall':
      return setTimeout(() => serve(req, body, res), rule.delayMs || 1500);
    case 'flip-request':
      return serve(req, flipped(body, rule.offset), res);
    case 'flip':
      return serve(req, body, res, (status, headers, answer) => send(status, headers, flipped(answer, rule.offset)));
    case 'close-mid':
    case 'truncate':
      // close-mid resets the connection; truncate ends it cleanly, short of the announced length.
      return serve(req, body, res, (status, headers, answer) => {
        res.writeHead(status, headers);
        res.write(answer.subarray(0, answer.length >> 1), () => (fault === 'truncate' ? res.socket.end() : res.socket.destroy()));
      });
    default:
      return serve(req, body, res);
  }
}

// Lets go of the held requests, so the server can stop.
const release = () => heldSockets.forEach((_, s) => s.destroy());

// Counts a request handed to s3rver; the returned function, called once, counts its answer.
const forwarded = () => {
  state.forwarding++;
  let open = true;
  return () => {
    if (open) state.forwarding--;
    open = false;
  };
};

module.exports = { wanted, handle, release, forwarded };
