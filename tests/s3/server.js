'use strict';
// Local S3-compatible test server: s3rver behind a Signature Version 4 check.
//
// s3rver stores and lists objects but accepts any signature and any payload
// hash, so a signing fault would go unnoticed against it. This front end
// recomputes the signature of every header-signed and presigned request, and
// the payload hash, with the configured key and secret; it answers like S3
// when they do not match and forwards only requests that pass to s3rver on a
// private loopback port. Requests under /__faults can be made to fail on
// purpose (faults.js).
//
//   node --openssl-legacy-provider server.js --port 0 --dir DIR --bucket B
//        --access-key KEY --secret SECRET [--tls TLSDIR]
//
// With --tls it makes a certificate authority in TLSDIR with the openssl
// command (ca.pem, and certs/ holding it under its hashed name) and serves the
// same over HTTPS too, with a certificate that authority issued for
// 127.0.0.1 alone; it prints "https on 127.0.0.1:PORT" first.
// Prints "listening on 127.0.0.1:PORT" once ready; stops on SIGTERM/SIGINT.

const crypto = require('crypto');
const fs = require('fs');
const http = require('http');
const https = require('https');
const { execFileSync } = require('child_process');
const path = require('path');
const { parseArgs } = require('util');
const S3rver = require('s3rver');
const faults = require('./faults');
const AWSAccount = require('s3rver/lib/models/account');
const FilesystemStore = require('s3rver/lib/stores/filesystem');

// s3rver answers a PUT once the body has been read, before its bytes are in
// the file (which it truncates first), so a GET right after can read a short
// object. Real stores read their own writes: here the object goes to a
// temporary file (which listings skip) renamed into place before the answer.
// s3rver hands every object over as a stream.
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
    object.content.on('error', reject);
    object.content.on('data', piece => {
      hash.update(piece);
      total += piece.length;
    });
    object.content.pipe(out);
  });
  await fs.promises.rename(temporary, objectPath);
  await this.putMetadata(object.bucket, object.key, object.metadata, md5);
  return { size, md5 };
};

const MAX_SKEW_MS = 15 * 60 * 1000;
const MAX_PRESIGN_SECONDS = 7 * 24 * 3600;
const sha256Hex = data => crypto.createHash('sha256').update(data).digest('hex');
const hmac = (key, text) => crypto.createHmac('sha256', key).update(text, 'utf8').digest();

class Refusal {
  constructor(status, code, message, detail = {}) {
    Object.assign(this, { status, code, message, detail });
  }
  xml() {
    const escape = s => String(s).replace(/[&<>]/g, c => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;' })[c]);
    const extra = Object.entries(this.detail).map(([k, v]) => `<${k}>${escape(v)}</${k}>`).join('');
    return `<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>${this.code}</Code><Message>${escape(this.message)}</Message>${extra}</Error>`;
  }
}
const refuse = (status, code, message, detail) => {
  throw new Refusal(status, code, message, detail);
};

// The strict encoding SigV4 prescribes: unreserved bytes stay, all else %XX.
function uriEncode(bytes, encodeSlash) {
  let out = '';
  for (const b of bytes) {
    const c = String.fromCharCode(b);
    out += /[A-Za-z0-9\-._~]/.test(c) || (c === '/' && !encodeSlash) ? c : '%' + b.toString(16).toUpperCase().padStart(2, '0');
  }
  return out;
}

// Percent-decoding to bytes; "+" is a plus sign, not a space.
function percentDecode(text) {
  const raw = Buffer.from(text, 'latin1');
  const bytes = [];
  for (let i = 0; i < raw.length; i++) {
    const hex = text.substr(i + 1, 2);
    if (raw[i] === 0x25 && /^[0-9A-Fa-f]{2}$/.test(hex)) {
      bytes.push(parseInt(hex, 16));
      i += 2;
    } else {
      bytes.push(raw[i]);
    }
  }
  return Buffer.from(bytes);
}

// The request line as the server holds it: the canonical path and the query parameters.
function canonicalParts(rawUrl) {
  const [rawPath, rawQuery = ''] = rawUrl.split(/\?(.*)/s);
  const params = rawQuery.split('&').filter(p => p !== '').map(part => {
    const eq = part.indexOf('=');
    const name = percentDecode(eq < 0 ? part : part.slice(0, eq));
    const value = percentDecode(eq < 0 ? '' : part.slice(eq + 1));
    return { name: name.toString('utf8'), value: value.toString('utf8'), enc: [uriEncode(name, true), uriEncode(value, true)] };
  });
  return { uri: uriEncode(percentDecode(rawPath), false), params };
}

function canonicalQuery(params, skipName) {
  const pairs = params.filter(p => p.name !== skipName).map(p => p.enc);
  pairs.sort((a, b) => (a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : a[1] < b[1] ? -1 : a[1] > b[1] ? 1 : 0));
  return pairs.map(([n, v]) => n + '=' + v).join('&');
}

function headerValue(req, name) {
  const v = req.headers[name];
  return v === undefined ? undefined : (Array.isArray(v) ? v.join(',') : v).trim().replace(/\s+/g, ' ');
}

function parseAmzDate(text) {
  const m = /^(\d{4})(\d{2})(\d{2})T(\d{2})(\d{2})(\d{2})Z$/.exec(text || '');
  return m ? Date.UTC(+m[1], +m[2] - 1, +m[3], +m[4], +m[5], +m[6]) : NaN;
}

// Checks the signature of the canonical request: scope "KEY/DATE/REGION/s3/aws4_request",
// the listed headers, then the HMAC chain.
function checkSignature(opts, req, credential, amzDate, signedHeaders, canonical, provided) {
  const parts = (credential || '').split('/');
  if (parts.length !== 5 || parts[3] !== 's3' || parts[4] !== 'aws4_request') {
    refuse(400, 'AuthorizationHeaderMalformed', 'The credential is malformed: ' + credential);
  }
  if (parts[0] !== opts.accessKey) {
    refuse(403, 'InvalidAccessKeyId', 'The AWS Access Key Id you provided does not exist in our records.');
  }
  if (parts[1] !== (amzDate || '').slice(0, 8)) refuse(400, 'AuthorizationHeaderMalformed', 'The credential date is wrong');
  const signed = signedHeaders.split(';');
  if (!signed.includes('host')) refuse(400, 'AuthorizationHeaderMalformed', 'SignedHeaders must include host');
  let headers = '';
  for (const name of signed) {
    const value = headerValue(req, name);
    if (value === undefined) refuse(403, 'AccessDenied', 'A signed header is missing: ' + name);
    headers += name + ':' + value + '\n';
  }
  const request = canonical(headers);
  const scope = parts.slice(1).join('/');
  const stringToSign = ['AWS4-HMAC-SHA256', amzDate, scope, sha256Hex(request)].join('\n');
  const key = ['s3', 'aws4_request'].reduce(hmac, hmac(hmac('AWS4' + opts.secret, parts[1]), parts[2]));
  const expected = hmac(key, stringToSign).toString('hex');
  const given = Buffer.from(String(provided || ''));
  if (given.length !== 64 || !crypto.timingSafeEqual(given, Buffer.from(expected))) {
    refuse(403, 'SignatureDoesNotMatch', 'The request signature we calculated does not match the signature you provided.',
           { StringToSign: stringToSign, CanonicalRequest: request });
  }
}

function verifyHeaderSigned(opts, req, body, parts) {
  const m = /^AWS4-HMAC-SHA256 Credential=([^,]*), ?SignedHeaders=([^,]*), ?Signature=([0-9a-f]*)$/.exec(headerValue(req, 'authorization'));
  if (!m) refuse(400, 'AuthorizationHeaderMalformed', 'The authorization header is malformed.');
  const amzDate = headerValue(req, 'x-amz-date');
  const when = parseAmzDate(amzDate);
  if (!(Math.abs(Date.now() - when) <= MAX_SKEW_MS)) refuse(403, 'RequestTimeTooSkewed', 'The request time is missing or too far off.');
  if (!m[2].split(';').includes('x-amz-date') || m[2].split(';').sort().join(';') !== m[2]) {
    refuse(400, 'AuthorizationHeaderMalformed', 'SignedHeaders must be sorted and include x-amz-date');
  }
  const payloadHash = headerValue(req, 'x-amz-content-sha256');
  if (payloadHash === undefined) refuse(400, 'InvalidRequest', 'Missing required header: x-amz-content-sha256');
  checkSignature(opts, req, m[1], amzDate, m[2],
                 headers => [req.method, parts.uri, canonicalQuery(parts.params, null), headers, m[2], payloadHash].join('\n'), m[3]);
  if (payloadHash !== 'UNSIGNED-PAYLOAD' && payloadHash !== sha256Hex(body)) {
    refuse(400, 'XAmzContentSHA256Mismatch', "The provided 'x-amz-content-sha256' header does not match what was computed.");
  }
}

function verifyPresigned(opts, req, parts) {
  const q = Object.fromEntries(parts.params.map(p => [p.name, p.value]));
  if (q['X-Amz-Algorithm'] !== 'AWS4-HMAC-SHA256') refuse(400, 'AuthorizationQueryParametersError', 'Unsupported X-Amz-Algorithm');
  for (const name of ['X-Amz-Credential', 'X-Amz-Date', 'X-Amz-Expires', 'X-Amz-SignedHeaders', 'X-Amz-Signature']) {
    if (!(name in q)) refuse(400, 'AuthorizationQueryParametersError', 'Query-string authentication requires ' + name);
  }
  const when = parseAmzDate(q['X-Amz-Date']);
  const expires = /^-?\d+$/.test(q['X-Amz-Expires']) ? Number(q['X-Amz-Expires']) : NaN;
  if (isNaN(when) || isNaN(expires) || expires > MAX_PRESIGN_SECONDS) {
    refuse(400, 'AuthorizationQueryParametersError', 'X-Amz-Date or X-Amz-Expires is malformed');
  }
  checkSignature(opts, req, q['X-Amz-Credential'], q['X-Amz-Date'], q['X-Amz-SignedHeaders'],
                 headers => [req.method, parts.uri, canonicalQuery(parts.params, 'X-Amz-Signature'), headers,
                             q['X-Amz-SignedHeaders'], 'UNSIGNED-PAYLOAD'].join('\n'), q['X-Amz-Signature']);
  // A URL is valid for the whole seconds [date, date + expires): lifetime 0 never is.
  const now = Date.now();
  if (now < when - MAX_SKEW_MS || expires <= 0 || now >= when + expires * 1000) {
    refuse(403, 'AccessDenied', 'Request has expired', { 'X-Amz-Expires': q['X-Amz-Expires'] });
  }
}

function verify(opts, req, body) {
  const parts = canonicalParts(req.url);
  const presigned = parts.params.some(p => p.name === 'X-Amz-Algorithm');
  const headerSigned = req.headers['authorization'] !== undefined;
  if (presigned && headerSigned) refuse(400, 'InvalidArgument', 'Only one auth mechanism allowed');
  if (headerSigned) verifyHeaderSigned(opts, req, body, parts);
  else if (presigned) verifyPresigned(opts, req, parts);
  else refuse(403, 'AccessDenied', 'Access Denied');
}

// A fresh authority and a server certificate it issued for 127.0.0.1 (and no name).
function makeCertificates(dir) {
  fs.mkdirSync(path.join(dir, 'certs'), { recursive: true });
  const at = name => path.join(dir, name);
  const newKey = ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-noenc', '-days', '2'];
  const openssl = args => execFileSync('openssl', args, { stdio: ['ignore', 'ignore', 'pipe'] });
  openssl(['req', '-x509', ...newKey, '-keyout', at('ca.key'), '-out', at('ca.pem'), '-subj', '/CN=vorn test CA']);
  openssl(['req', '-x509', '-CA', at('ca.pem'), '-CAkey', at('ca.key'), ...newKey, '-keyout', at('server.key'),
           '-out', at('server.pem'), '-subj', '/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1',
           '-addext', 'basicConstraints=critical,CA:FALSE']);
  fs.copyFileSync(at('ca.pem'), path.join(dir, 'certs', 'ca.pem'));
  openssl(['rehash', path.join(dir, 'certs')]);
  return { key: fs.readFileSync(at('server.key')), cert: fs.readFileSync(at('server.pem')) };
}

function main() {
  const text = value => ({ type: 'string', default: value });
  const { values } = parseArgs({ options: { port: text('0'), dir: text(''), bucket: text(''), 'access-key': text('S3RVER'), secret: text('S3RVER'), tls: text('') } });
  const opts = { ...values, accessKey: values['access-key'] };
  if (!opts.dir || !opts.bucket) throw new Error('--dir and --bucket are required');
  new AWSAccount(123456789001, 'vorn-test').createKeyPair(opts.accessKey, opts.secret);
  const backend = new S3rver({ address: '127.0.0.1', port: 0, silent: true, directory: opts.dir, configureBuckets: [{ name: opts.bucket }] });
  const agent = new http.Agent({ keepAlive: true, maxSockets: 16 });
  let deletes = Promise.resolve();

  backend.run((err, backendAddress) => {
    if (err) {
      console.error('cannot start s3rver: ' + err.message);
      process.exit(1);
    }
    // Checks the request and has s3rver answer it: piped into res, or with
    // `whole` collected and handed to whole(status, headers, body).
    const serve = (req, body, res, whole) => {
      const send = whole || ((status, headers, text) => {
        res.writeHead(status, headers);
        res.end(req.method === 'HEAD' ? '' : text);
      });
      try {
        verify(opts, req, body);
      } catch (caught) {
        // A fault in the check itself must fail the request, not the server.
        const e = caught instanceof Refusal ? caught : new Refusal(500, 'InternalError', String(caught && caught.stack));
        console.error(`refused ${req.method} ${req.url}: ${e.status} ${e.code} ${e.message}`);
        return send(e.status, { 'Content-Type': 'application/xml', 'Content-Length': Buffer.byteLength(e.xml()) }, e.xml());
      }
      const headers = { ...req.headers, 'content-length': String(body.length) };
      delete headers['transfer-encoding'];
      delete headers['expect'];
      const forward = settled => {
        const answered = faults.forwarded();
        const done = () => {
          answered();
          settled();
        };
        const up = http.request({ host: '127.0.0.1', port: backendAddress.port, method: req.method, path: req.url, headers, agent }, answer => {
          const pieces = [];
          if (whole) {
            answer.on('data', d => pieces.push(d));
          } else {
            res.writeHead(answer.statusCode, answer.headers);
            answer.pipe(res);
          }
          answer.on('end', () => {
            done();
            if (whole) whole(answer.statusCode, answer.headers, Buffer.concat(pieces));
          });
          answer.on('error', done);
        });
        up.on('error', e => {
          send(502, { 'Content-Type': 'text/plain' }, 'backend request failed: ' + e.message + '\n');
          done();
        });
        up.end(body);
      };
      // s3rver removes a directory once its last object goes, so two deletes
      // in one directory at once can fail each other: here they take turns.
      if (req.method === 'DELETE') deletes = deletes.then(() => new Promise(forward));
      else forward(() => {});
    };
    const handler = (req, res) => {
      const pieces = [];
      req.on('data', d => pieces.push(d));
      req.on('error', () => res.destroy());
      req.on('end', () => {
        const body = Buffer.concat(pieces);
        if (faults.wanted(req)) faults.handle(req, body, res, serve);
        else serve(req, body, res);
      });
    };
    const front = http.createServer(handler);
    const secure = opts.tls ? https.createServer(makeCertificates(opts.tls), handler) : null;
    const listen = () => front.listen(Number(opts.port), '127.0.0.1', () => process.stdout.write('listening on 127.0.0.1:' + front.address().port + '\n'));
    if (secure) {
      secure.listen(0, '127.0.0.1', () => {
        process.stdout.write('https on 127.0.0.1:' + secure.address().port + '\n');
        listen();
      });
    } else {
      listen();
    }
    const stop = () => {
      faults.release();
      front.close();
      if (secure) secure.close();
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
