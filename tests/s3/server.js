'use strict';
// Local S3-compatible test server: s3rver behind a Signature Version 4 check.
//
// s3rver stores and lists objects but accepts any signature and any payload
// hash, so a signing fault would go unnoticed against it. This front end
// recomputes every header-signed and presigned request's signature and the
// payload hash with the configured key and secret, answers like S3 when they
// do not match, and forwards only requests that pass to s3rver on a private
// loopback port.
//
//   node --openssl-legacy-provider server.js --port 0 --dir DIR --bucket B
//        --access-key KEY --secret SECRET
//
// Prints "listening on 127.0.0.1:PORT" once ready; stops on SIGTERM/SIGINT.

const crypto = require('crypto');
const http = require('http');
const S3rver = require('s3rver');
const AWSAccount = require('s3rver/lib/models/account');
const FilesystemStore = require('s3rver/lib/stores/filesystem');
const fs = require('fs');
const path = require('path');

// s3rver answers a PUT once the request body has been read, before its bytes
// are in the file (and truncates the old file first), so a GET right after
// can read a short object. Real stores read their own writes: here the object
// is written to a temporary file (which listings skip) and renamed into place
// before the answer.
let temporaries = 0;
FilesystemStore.prototype.putObject = async function putObject(object) {
  const objectPath = this.getResourcePath(object.bucket, object.key, 'object');
  await fs.promises.mkdir(path.dirname(objectPath), { recursive: true });
  const temporary = `${objectPath}.${process.pid}.${temporaries++}.tmp`;
  const [size, md5] = await new Promise((resolve, reject) => {
    const hash = crypto.createHash('md5');
    const out = fs.createWriteStream(temporary);
    let total = 0;
    out.on('error', reject);
    out.on('close', () => resolve([total, hash.digest('hex')]));
    if (Buffer.isBuffer(object.content)) {
      hash.update(object.content);
      total = object.content.length;
      out.end(object.content);
    } else {
      object.content.on('error', reject);
      object.content.on('data', piece => {
        hash.update(piece);
        total += piece.length;
      });
      object.content.pipe(out);
    }
  });
  await fs.promises.rename(temporary, objectPath);
  await this.putMetadata(object.bucket, object.key, object.metadata, md5);
  return { size, md5 };
};

const MAX_SKEW_MS = 15 * 60 * 1000;
const MAX_PRESIGN_SECONDS = 7 * 24 * 3600;

function parseArgs(argv) {
  const opts = { port: 0, dir: '', bucket: '', accessKey: 'S3RVER', secret: 'S3RVER' };
  const names = {
    '--port': 'port',
    '--dir': 'dir',
    '--bucket': 'bucket',
    '--access-key': 'accessKey',
    '--secret': 'secret',
  };
  for (let i = 0; i < argv.length; i++) {
    const name = names[argv[i]];
    if (!name || i + 1 >= argv.length) throw new Error('bad argument: ' + argv[i]);
    opts[name] = argv[++i];
  }
  opts.port = Number(opts.port);
  if (!opts.dir || !opts.bucket) throw new Error('--dir and --bucket are required');
  return opts;
}

const sha256Hex = data => crypto.createHash('sha256').update(data).digest('hex');
const hmac = (key, text) => crypto.createHmac('sha256', key).update(text, 'utf8').digest();

// The strict encoding SigV4 prescribes: unreserved bytes stay, all else %XX.
function uriEncode(bytes, encodeSlash) {
  let out = '';
  for (const b of bytes) {
    const c = String.fromCharCode(b);
    if (/[A-Za-z0-9\-._~]/.test(c) || (c === '/' && !encodeSlash)) out += c;
    else out += '%' + b.toString(16).toUpperCase().padStart(2, '0');
  }
  return out;
}

// Percent-decoding to bytes; "+" is a plus sign, not a space.
function percentDecode(text) {
  const bytes = [];
  const raw = Buffer.from(text, 'latin1');
  for (let i = 0; i < raw.length; i++) {
    if (raw[i] === 0x25 && i + 2 < raw.length && /^[0-9A-Fa-f]{2}$/.test(text.substr(i + 1, 2))) {
      bytes.push(parseInt(text.substr(i + 1, 2), 16));
      i += 2;
    } else {
      bytes.push(raw[i]);
    }
  }
  return Buffer.from(bytes);
}

// What the server itself holds for a request line: decoded path and query.
function canonicalParts(rawUrl) {
  const q = rawUrl.indexOf('?');
  const rawPath = q < 0 ? rawUrl : rawUrl.slice(0, q);
  const rawQuery = q < 0 ? '' : rawUrl.slice(q + 1);
  const params = [];
  for (const part of rawQuery.split('&')) {
    if (part === '') continue;
    const eq = part.indexOf('=');
    const name = percentDecode(eq < 0 ? part : part.slice(0, eq));
    const value = percentDecode(eq < 0 ? '' : part.slice(eq + 1));
    params.push({ name: name.toString('utf8'), enc: [uriEncode(name, true), uriEncode(value, true)] });
  }
  return { uri: uriEncode(percentDecode(rawPath), false), params };
}

function canonicalQuery(params, skipName) {
  return params
    .filter(p => p.name !== skipName)
    .map(p => p.enc)
    .sort((a, b) => (a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : a[1] < b[1] ? -1 : a[1] > b[1] ? 1 : 0))
    .map(([n, v]) => n + '=' + v)
    .join('&');
}

function headerValue(req, name) {
  const v = req.headers[name];
  if (v === undefined) return undefined;
  return (Array.isArray(v) ? v.join(',') : v).trim().replace(/\s+/g, ' ');
}

function signingKey(secret, date, region) {
  return hmac(hmac(hmac(hmac('AWS4' + secret, date), region), 's3'), 'aws4_request');
}

function parseAmzDate(text) {
  const m = /^(\d{4})(\d{2})(\d{2})T(\d{2})(\d{2})(\d{2})Z$/.exec(text || '');
  if (!m) return NaN;
  return Date.UTC(+m[1], +m[2] - 1, +m[3], +m[4], +m[5], +m[6]);
}

const xmlEscape = s =>
  String(s).replace(/[&<>"']/g, c => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&apos;' })[c]);

class Refusal {
  constructor(status, code, message, detail = {}) {
    Object.assign(this, { status, code, message, detail });
  }
  xml() {
    const extra = Object.entries(this.detail)
      .map(([k, v]) => `<${k}>${xmlEscape(v)}</${k}>`)
      .join('');
    return (
      '<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>' + this.code + '</Code><Message>' +
      xmlEscape(this.message) + '</Message>' + extra + '</Error>'
    );
  }
}

// Checks the credential scope "KEY/DATE/REGION/s3/aws4_request" and returns its parts.
function parseCredential(opts, credential, amzDate) {
  const parts = (credential || '').split('/');
  if (parts.length !== 5 || parts[3] !== 's3' || parts[4] !== 'aws4_request') {
    throw new Refusal(400, 'AuthorizationHeaderMalformed', 'The credential is malformed: ' + credential);
  }
  if (parts[0] !== opts.accessKey) {
    throw new Refusal(403, 'InvalidAccessKeyId', 'The AWS Access Key Id you provided does not exist in our records.', {
      AWSAccessKeyId: parts[0],
    });
  }
  if (parts[1] !== (amzDate || '').slice(0, 8)) {
    throw new Refusal(400, 'AuthorizationHeaderMalformed', 'The credential date does not match x-amz-date');
  }
  return { date: parts[1], region: parts[2], scope: parts.slice(1).join('/') };
}

function checkSignature(opts, cred, amzDate, canonicalRequest, provided) {
  const stringToSign = ['AWS4-HMAC-SHA256', amzDate, cred.scope, sha256Hex(canonicalRequest)].join('\n');
  const expected = hmac(signingKey(opts.secret, cred.date, cred.region), stringToSign).toString('hex');
  const given = Buffer.from(String(provided || ''));
  if (given.length !== 64 || !crypto.timingSafeEqual(given, Buffer.from(expected))) {
    throw new Refusal(
      403,
      'SignatureDoesNotMatch',
      'The request signature we calculated does not match the signature you provided. Check your key and signing method.',
      { AWSAccessKeyId: opts.accessKey, StringToSign: stringToSign, CanonicalRequest: canonicalRequest },
    );
  }
}

function canonicalHeaders(req, signedHeaders) {
  let text = '';
  for (const name of signedHeaders) {
    const value = headerValue(req, name);
    if (value === undefined) {
      throw new Refusal(403, 'AccessDenied', 'A signed header is missing from the request: ' + name);
    }
    text += name + ':' + value + '\n';
  }
  return text;
}

function verifyHeaderSigned(opts, req, body, parts) {
  const auth = headerValue(req, 'authorization');
  const m = /^AWS4-HMAC-SHA256 Credential=([^,]*), ?SignedHeaders=([^,]*), ?Signature=([0-9a-f]*)$/.exec(auth);
  if (!m) {
    throw new Refusal(400, 'AuthorizationHeaderMalformed', 'The authorization header is malformed.');
  }
  const amzDate = headerValue(req, 'x-amz-date');
  const when = parseAmzDate(amzDate);
  if (isNaN(when)) throw new Refusal(403, 'AccessDenied', 'AWS authentication requires a valid x-amz-date header');
  if (Math.abs(Date.now() - when) > MAX_SKEW_MS) {
    throw new Refusal(403, 'RequestTimeTooSkewed', 'The difference between the request time and the current time is too large.');
  }
  const cred = parseCredential(opts, m[1], amzDate);
  const signed = m[2].split(';');
  if (!signed.includes('host') || !signed.includes('x-amz-date') || [...signed].sort().join(';') !== m[2]) {
    throw new Refusal(400, 'AuthorizationHeaderMalformed', 'SignedHeaders must be sorted and include host and x-amz-date');
  }
  const payloadHash = headerValue(req, 'x-amz-content-sha256');
  if (payloadHash === undefined) {
    throw new Refusal(400, 'InvalidRequest', 'Missing required header for this request: x-amz-content-sha256');
  }
  const canonicalRequest = [
    req.method,
    parts.uri,
    canonicalQuery(parts.params, null),
    canonicalHeaders(req, signed),
    m[2],
    payloadHash,
  ].join('\n');
  checkSignature(opts, cred, amzDate, canonicalRequest, m[3]);
  if (payloadHash !== 'UNSIGNED-PAYLOAD') {
    const actual = sha256Hex(body);
    if (payloadHash !== actual) {
      throw new Refusal(400, 'XAmzContentSHA256Mismatch', "The provided 'x-amz-content-sha256' header does not match what was computed.", {
        ClientComputedContentSHA256: payloadHash,
        S3ComputedContentSHA256: actual,
      });
    }
  }
}

function verifyPresigned(opts, req, parts) {
  const q = {};
  for (const p of parts.params) q[p.name] = percentDecode(p.enc[1]).toString('utf8');
  if (q['X-Amz-Algorithm'] !== 'AWS4-HMAC-SHA256') {
    throw new Refusal(400, 'AuthorizationQueryParametersError', 'X-Amz-Algorithm only supports "AWS4-HMAC-SHA256"');
  }
  for (const name of ['X-Amz-Credential', 'X-Amz-Date', 'X-Amz-Expires', 'X-Amz-SignedHeaders', 'X-Amz-Signature']) {
    if (!(name in q)) {
      throw new Refusal(400, 'AuthorizationQueryParametersError', 'Query-string authentication requires ' + name);
    }
  }
  const amzDate = q['X-Amz-Date'];
  const when = parseAmzDate(amzDate);
  if (isNaN(when)) throw new Refusal(400, 'AuthorizationQueryParametersError', 'X-Amz-Date is not yyyyMMddTHHmmssZ');
  if (!/^-?\d+$/.test(q['X-Amz-Expires'])) {
    throw new Refusal(400, 'AuthorizationQueryParametersError', 'X-Amz-Expires must be a number');
  }
  const expires = Number(q['X-Amz-Expires']);
  if (expires > MAX_PRESIGN_SECONDS) {
    throw new Refusal(400, 'AuthorizationQueryParametersError', 'X-Amz-Expires must be less than a week');
  }
  const cred = parseCredential(opts, q['X-Amz-Credential'], amzDate);
  const signed = q['X-Amz-SignedHeaders'].split(';');
  if (!signed.includes('host')) {
    throw new Refusal(400, 'AuthorizationQueryParametersError', 'X-Amz-SignedHeaders must include host');
  }
  const canonicalRequest = [
    req.method,
    parts.uri,
    canonicalQuery(parts.params, 'X-Amz-Signature'),
    canonicalHeaders(req, signed),
    q['X-Amz-SignedHeaders'],
    'UNSIGNED-PAYLOAD',
  ].join('\n');
  checkSignature(opts, cred, amzDate, canonicalRequest, q['X-Amz-Signature']);
  // A URL is valid for the whole seconds [date, date + expires): lifetime 0 never is.
  const now = Date.now();
  if (now < when - MAX_SKEW_MS) throw new Refusal(403, 'AccessDenied', 'Request is not valid yet');
  if (expires <= 0 || now >= when + expires * 1000) {
    throw new Refusal(403, 'AccessDenied', 'Request has expired', { 'X-Amz-Expires': q['X-Amz-Expires'] });
  }
}

function verify(opts, req, body) {
  const parts = canonicalParts(req.url);
  const presigned = parts.params.some(p => p.name === 'X-Amz-Algorithm');
  const headerSigned = req.headers['authorization'] !== undefined;
  if (presigned && headerSigned) {
    throw new Refusal(400, 'InvalidArgument', 'Only one auth mechanism allowed');
  }
  if (headerSigned) verifyHeaderSigned(opts, req, body, parts);
  else if (presigned) verifyPresigned(opts, req, parts);
  else throw new Refusal(403, 'AccessDenied', 'Access Denied');
}

function main() {
  const opts = parseArgs(process.argv.slice(2));
  new AWSAccount(123456789001, 'vorn-test').createKeyPair(opts.accessKey, opts.secret);

  const backend = new S3rver({
    address: '127.0.0.1',
    port: 0,
    silent: true,
    directory: opts.dir,
    configureBuckets: [{ name: opts.bucket }],
  });
  const agent = new http.Agent({ keepAlive: true, maxSockets: 16 });
  let deletes = Promise.resolve();

  backend.run((err, backendAddress) => {
    if (err) {
      console.error('cannot start s3rver: ' + err.message);
      process.exit(1);
    }
    const front = http.createServer((req, res) => {
      const pieces = [];
      req.on('data', d => pieces.push(d));
      req.on('error', () => res.destroy());
      req.on('end', () => {
        const body = Buffer.concat(pieces);
        try {
          verify(opts, req, body);
        } catch (caught) {
          // A fault in the check itself must fail the request, not the server.
          const e = caught instanceof Refusal ? caught : new Refusal(500, 'InternalError', String(caught && caught.stack));
          console.error(`refused ${req.method} ${req.url}: ${e.status} ${e.code} ${e.message}`);
          const text = req.method === 'HEAD' ? '' : e.xml();
          res.writeHead(e.status, { 'Content-Type': 'application/xml', 'Content-Length': Buffer.byteLength(e.xml()) });
          res.end(text);
          return;
        }
        const headers = { ...req.headers, 'content-length': String(body.length) };
        delete headers['transfer-encoding'];
        delete headers['expect'];
        const forward = done => {
          const up = http.request(
            { host: '127.0.0.1', port: backendAddress.port, method: req.method, path: req.url, headers, agent },
            answer => {
              res.writeHead(answer.statusCode, answer.headers);
              answer.pipe(res);
              answer.on('end', done);
              answer.on('error', done);
            },
          );
          up.on('error', e => {
            console.error('backend request failed: ' + e.message);
            res.writeHead(502, { 'Content-Type': 'text/plain' });
            res.end('backend request failed\n');
            done();
          });
          up.end(body);
        };
        // s3rver removes a directory once its last object is deleted, so two
        // deletes in one directory at once can fail each other; a real store
        // takes them concurrently, this one gets them one at a time.
        if (req.method === 'DELETE') {
          deletes = deletes.then(() => new Promise(forward));
        } else {
          forward(() => {});
        }
      });
    });
    front.listen(opts.port, '127.0.0.1', () => {
      process.stdout.write('listening on 127.0.0.1:' + front.address().port + '\n');
    });
    const stop = () => {
      front.close();
      agent.destroy();
      backend.close(() => process.exit(0));
      setTimeout(() => process.exit(0), 1000).unref();
    };
    process.on('SIGTERM', stop);
    process.on('SIGINT', stop);
  });
}

try {
  main();
} catch (e) {
  console.error(e.message);
  process.exit(2);
}
