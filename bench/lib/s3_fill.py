"""Fills the store named by the VORN_S3_* settings with chunk objects and
channels, through one kept-alive connection (much faster than one program
run per object), signing each request like the program's own.

    s3_fill.py OBJECTS CHANNELS [REFS]

OBJECTS chunk objects of 256 bytes; CHANNELS channels whose manifests each
name a run of REFS (500) chunk ids overlapping its neighbour's, so some
chunks are shared and the rest of the objects are garbage."""
import datetime, hashlib, hmac, http.client, json, os, sys

objects, channels = int(sys.argv[1]), int(sys.argv[2])
refs = int(sys.argv[3]) if len(sys.argv) > 3 else 500
endpoint = os.environ["VORN_S3_ENDPOINT"]
host = endpoint.split("://", 1)[1]
bucket, key_id, secret = (os.environ[n] for n in ("VORN_S3_BUCKET", "VORN_S3_KEY", "VORN_S3_SECRET"))
region = os.environ["VORN_S3_REGION"]
conn = http.client.HTTPConnection(host, timeout=30)

def sign(key, text):
    return hmac.new(key, text.encode(), hashlib.sha256).digest()

def put(key, body):
    now = datetime.datetime.now(datetime.timezone.utc)
    amz, day = now.strftime("%Y%m%dT%H%M%SZ"), now.strftime("%Y%m%d")
    payload = hashlib.sha256(body).hexdigest()
    uri = "/" + bucket + "/" + key
    headers = f"host:{host}\nx-amz-content-sha256:{payload}\nx-amz-date:{amz}\n"
    signed = "host;x-amz-content-sha256;x-amz-date"
    request = f"PUT\n{uri}\n\n{headers}\n{signed}\n{payload}"
    scope = f"{day}/{region}/s3/aws4_request"
    to_sign = f"AWS4-HMAC-SHA256\n{amz}\n{scope}\n" + hashlib.sha256(request.encode()).hexdigest()
    k = sign(sign(sign(sign(("AWS4" + secret).encode(), day), region), "s3"), "aws4_request")
    signature = hmac.new(k, to_sign.encode(), hashlib.sha256).hexdigest()
    conn.request("PUT", uri, body, {
        "x-amz-date": amz, "x-amz-content-sha256": payload,
        "Authorization": f"AWS4-HMAC-SHA256 Credential={key_id}/{scope}, "
                         f"SignedHeaders={signed}, Signature={signature}"})
    answer = conn.getresponse()
    answer.read()
    if answer.status // 100 != 2:
        sys.exit(f"PUT {key} -> HTTP {answer.status}")

ids = [hashlib.sha256(str(i).encode()).hexdigest() for i in range(objects)]
for i, chunk_id in enumerate(ids):
    put(f"chunks/{chunk_id[:2]}/{chunk_id}", i.to_bytes(4, "little") * 64)
stride = max(1, (objects * 9 // 10 - refs) // max(1, channels - 1))
for c in range(channels):
    named = ids[c * stride:c * stride + refs]
    files = [{"chunks": [{"h": h, "n": 256}], "path": f"f{n}", "size": 256} for n, h in enumerate(named)]
    doc = {"build": "0" * 64, "channel": f"ch{c}", "created": 0, "files": files, "schema": 1}
    put(f"channels/ch{c}/manifest.json", json.dumps(doc, indent=2).encode())
    put(f"channels/ch{c}/manifest.json.sig", b"0" * 128)
