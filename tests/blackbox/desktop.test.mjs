// The desktop and lifecycle endpoints, black-box on both builds: shell
// information, shortcuts, elevation, exit, and the input refusals of the
// feedback form (none of which touch the network). Then the update check
// and the feedback delivery against a local HTTPS service, through the
// variants of both builds whose web service is set to localhost:44380 with
// the fallback on localhost:44381 (presets native-svc and windows-svc).
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import https from 'node:https';
import os from 'node:os';
import path from 'node:path';
import crypto from 'node:crypto';
import { execFileSync, spawnSync } from 'node:child_process';
import { builds, buildOf, REPO, rawRequest, parseResponse, VERSION } from './harness.mjs';

const PRIMARY_PORT = 44380;
const FALLBACK_PORT = 44381;

function rm(p) {
  fs.rmSync(p, { force: true, recursive: true });
}

function jsonText(v) {
  // The program escapes like JSON.stringify for the texts used here (quotes,
  // backslashes, raw UTF-8).
  return JSON.stringify(v);
}

for (const b of builds()) {
  describe(`desktop endpoints (${b.name})`, () => {
    let srv;
    const desktop = () => b.hostPath(b.userProfile + '\\Desktop');
    const programs = () =>
      b.hostPath(b.userProfile + '\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs');

    before(async () => {
      srv = await b.start([]);
    });
    after(async () => {
      await srv?.stop();
      rm(path.join(desktop(), 'Tamsel.lnk'));
      rm(path.join(programs(), 'Tamsel.lnk'));
    });

    it('shell information has its keys in order and a consistent shortcut state', async () => {
      rm(path.join(desktop(), 'Tamsel.lnk'));
      const r = await srv.get('/api/shell/info');
      assert.equal(r.status, 200);
      assert.equal(r.headers['content-type'], 'application/json; charset=utf-8');
      const j = r.json;
      assert.deepEqual(Object.keys(j), ['ok', 'appName', 'version', 'exePath', 'exeOnDesktop',
        'hasShortcut', 'needShortcut', 'browserIE', 'modernBrowser']);
      assert.equal(j.ok, true);
      assert.equal(j.appName, 'Tamsel');
      assert.equal(j.version, VERSION);
      assert.equal(j.exeOnDesktop, false);
      assert.equal(j.hasShortcut, false);
      assert.equal(j.needShortcut, true);
      assert.equal(typeof j.browserIE, 'boolean');
      assert.equal(typeof j.modernBrowser, 'string');
      if (b.name === 'windows') assert.match(j.exePath, /^[A-Z]:\\.*\\tamsel\.exe$/i);
      else assert.equal(j.exePath, b.binary);
      // Byte for byte: no white space, booleans bare, texts escaped.
      const expected = `{"ok":true,"appName":"Tamsel","version":"${VERSION}","exePath":${jsonText(j.exePath)},` +
        `"exeOnDesktop":false,"hasShortcut":false,"needShortcut":true,"browserIE":${j.browserIE},` +
        `"modernBrowser":${jsonText(j.modernBrowser)}}`;
      assert.equal(r.text, expected);
      // The method and the query do not matter.
      const post = await srv.post('/api/shell/info?x=1', '');
      assert.equal(post.text, r.text);
    });

    it('creates both shortcuts and then needs none', async () => {
      // A real profile has both folders; the native drive starts empty.
      fs.mkdirSync(desktop(), { recursive: true });
      fs.mkdirSync(programs(), { recursive: true });
      rm(path.join(desktop(), 'Tamsel.lnk'));
      rm(path.join(programs(), 'Tamsel.lnk'));
      const r = await srv.post('/api/shell/shortcut', '');
      const deskLnk = b.userProfile + '\\Desktop\\Tamsel.lnk';
      assert.equal(r.json.ok, true, r.text);
      assert.equal(r.json.created.length, 2, r.text);
      assert.equal(r.json.created[0].toLowerCase(), deskLnk.toLowerCase());
      assert.match(r.json.created[1], /\\Start Menu\\Programs\\Tamsel\.lnk$/);
      assert.equal(r.text, `{"ok":true,"created":${jsonText(r.json.created)},"hasShortcut":true}`);
      assert.ok(fs.statSync(path.join(desktop(), 'Tamsel.lnk')).isFile());
      assert.ok(fs.statSync(b.hostPath(r.json.created[1])).isFile());
      const info = (await srv.get('/api/shell/info')).json;
      assert.equal(info.hasShortcut, true);
      assert.equal(info.needShortcut, false);
    });

    it('elevation follows the rights the program reports', async (t) => {
      // Whichever answer this machine gives; the unit tests put in both.
      const { admin } = (await srv.get('/api/env')).json;
      if (!admin && b.name !== 'native') {
        // A "runas" under wine would really start a second copy.
        t.skip('wine runs the program without administrator rights here');
        return;
      }
      const r = await srv.post('/api/shell/elevate', '');
      // The stand-in has no UAC prompt: asking for one fails like a blocked one.
      assert.equal(r.text, admin ? '{"ok":true,"already":true}'
        : '{"ok":false,"message":"提权失败（可能被安全软件拦住）"}');
      assert.equal((await srv.get('/api/env')).status, 200);
    });

    it('refuses empty and over-long feedback before sending anything', async () => {
      const empty = '{"ok":false,"message":"请先写点什么再提交"}';
      assert.equal((await srv.post('/api/feedback', '')).text, empty);
      assert.equal((await srv.post('/api/feedback', { text: '  \n\t ' })).text, empty);
      const long = '{"ok":false,"message":"内容太长了（上限 1800 字）"}';
      assert.equal((await srv.post('/api/feedback', { text: '中'.repeat(1801) })).text, long);
      // A body that is not one object, or whose texts are not texts.
      const notText = '{"ok":false,"message":"text、contact 和 kind 必须是文字"}';
      const notObject = '{"ok":false,"message":"请求不是有效的 JSON 对象"}';
      for (const [body, answer] of [
        [{ text: 5 }, notText], [{ text: ['x'] }, notText], [{ text: 'x', contact: 1 }, notText],
        [{ text: 'x', kind: null }, notText], [{ x: { text: 'x' } }, empty],
        ['{"text":"x"', notObject], ['["x"]', notObject], ['{"text":"x","text":"y"}', notObject],
      ])
        assert.equal((await srv.post('/api/feedback', body)).text, answer, JSON.stringify(body));
    });

    it('near misses of the desktop paths end in the JSON 404', async () => {
      for (const p of ['/api/shell/info/', '/api/shell/Info', '/api/shell', '/api/shell/exitx']) {
        const r = await srv.get(p);
        assert.equal(r.status, 404, p);
        assert.equal(r.text, '{"code":404,"message":"no such api"}', p);
      }
    });

    it('the exit endpoint answers first and ends the process with code 0 about 0.5 s later', async () => {
      const victim = await b.start([]);
      try {
        const t0 = Date.now();
        const raw = await rawRequest(victim.port,
          `GET /api/shell/exit HTTP/1.1\r\nHost: 127.0.0.1\r\n${victim.tokenLine()}\r\n\r\n`);
        const res = parseResponse(raw);
        assert.equal(res.body.toString(), '{"ok":true}');
        let ended = null;
        while (!(ended = victim.exited()) && Date.now() - t0 < 10_000) {
          await new Promise((r) => setTimeout(r, 20));
        }
        const ms = Date.now() - t0;
        assert.ok(ended, 'the process is still running after 10 s');
        assert.equal(ended.code, 0);
        assert.ok(ms >= 300, `ended after ${ms} ms, before the delay`);
        assert.ok(ms < 5000, `ended after ${ms} ms`);
      } finally {
        await victim.stop();
      }
    });
  });
}

// ---- Against a local HTTPS service ------------------------------------------------------

// A certificate authority and a "localhost" certificate made with openssl.
function makeCertificates(dir) {
  const ossl = (...a) => execFileSync('openssl', a, { stdio: 'pipe' });
  const key = ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes'];
  ossl('req', '-x509', ...key, '-keyout', `${dir}/ca.key`, '-out', `${dir}/ca.pem`, '-days', '2',
    '-subj', '/CN=Tamsel Blackbox Authority', '-addext', 'basicConstraints=critical,CA:TRUE',
    '-addext', 'keyUsage=critical,keyCertSign,cRLSign');
  fs.writeFileSync(`${dir}/leaf.ext`, 'basicConstraints=critical,CA:FALSE\n' +
    'keyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\nsubjectAltName=DNS:localhost\n');
  ossl('req', ...key, '-keyout', `${dir}/leaf.key`, '-out', `${dir}/leaf.csr`, '-subj', '/CN=localhost');
  ossl('x509', '-req', '-in', `${dir}/leaf.csr`, '-CA', `${dir}/ca.pem`, '-CAkey', `${dir}/ca.key`,
    '-CAcreateserial', '-days', '2', '-extfile', `${dir}/leaf.ext`, '-out', `${dir}/leaf.pem`);
}

// wine's certificate checks read the LocalMachine ROOT store; an entry is the
// certificate's SHA-1 with a "Blob" of serialized properties (id 32: the
// encoded certificate).
function wineTrustKey(derCert) {
  const sha1 = crypto.createHash('sha1').update(derCert).digest('hex').toUpperCase();
  return `HKLM\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\${sha1}`;
}

function wineReg(prefix, args) {
  spawnSync(path.join(REPO, 'cmake/wine-run.sh'), ['reg', ...args], {
    env: { ...process.env, TAMSEL_WINEPREFIX: prefix }, stdio: 'ignore', timeout: 120_000,
  });
}

// One HTTPS listener whose answer the test sets; it records each request.
function listener(port, tls) {
  const state = { status: 200, body: '{}', requests: [] };
  const server = https.createServer(tls, (req, res) => {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', () => {
      state.requests.push({
        method: req.method, url: req.url, headers: req.headers,
        body: Buffer.concat(chunks).toString('utf8'),
      });
      res.writeHead(state.status, { 'Content-Type': 'application/json; charset=utf-8' });
      res.end(state.body);
    });
  });
  state.server = server;
  state.ready = new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', resolve);
  });
  return state;
}

const svcBuilds = [
  buildOf('native', path.join(REPO, 'build/native-svc/tamsel')),
  buildOf('windows', path.join(REPO, 'build/windows-svc/tamsel.exe')),
].filter(Boolean);

describe('web service variants are built', () => {
  it('has at least the native variant', () => {
    assert.ok(svcBuilds.length > 0, 'build the native-svc (and windows-svc) presets');
  });
});

for (const b of svcBuilds) {
  describe(`update check and feedback against a local service (${b.name})`, () => {
    let dir; let primary; let fallback; let srv; let trustKey;

    before(async () => {
      dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tamsel-svc-'));
      makeCertificates(dir);
      const tls = { key: fs.readFileSync(`${dir}/leaf.key`), cert: fs.readFileSync(`${dir}/leaf.pem`) };
      primary = listener(PRIMARY_PORT, tls);
      fallback = listener(FALLBACK_PORT, tls);
      await Promise.all([primary.ready, fallback.ready]);
      const env = { SSL_CERT_FILE: `${dir}/ca.pem` };
      if (b.name === 'windows') {
        const der = crypto.X509Certificate
          ? new crypto.X509Certificate(fs.readFileSync(`${dir}/ca.pem`)).raw : null;
        trustKey = wineTrustKey(der);
        const blob = Buffer.alloc(12);
        blob.writeUInt32LE(32, 0); blob.writeUInt32LE(1, 4); blob.writeUInt32LE(der.length, 8);
        wineReg(b.prefix, ['add', trustKey, '/v', 'Blob', '/t', 'REG_BINARY', '/d',
          Buffer.concat([blob, der]).toString('hex').toUpperCase(), '/f']);
      }
      srv = await b.start([], { env });
    });

    after(async () => {
      await srv?.stop();
      if (trustKey) wineReg(b.prefix, ['delete', trustKey, '/f']);
      await Promise.all([primary, fallback].map((l) => l && new Promise((r) => l.server.close(r))));
      if (dir) rm(dir);
    });

    const update = async () => (await srv.get('/api/shell/update')).text;
    const manifest = (version, extra = '') => {
      primary.status = 200;
      primary.body = `{"version":${version},"page":"https://example.invalid/dl","notes":"修复 \\"引号\\" 问题"${extra}}`;
    };

    it('fetches the manifest and compares versions as numbers', async () => {
      const cases = [['"1.0.10"', true], ['"1.1"', true], ['"1.0.2"', false], ['"0.9.9"', false],
        ['"v2.0.0"', false], ['"2"', true]];
      for (const [v, has] of cases) {
        manifest(v);
        primary.requests.length = 0;
        const text = await update();
        assert.equal(text, `{"ok":true,"current":"${VERSION}","latest":${v},` +
          `"page":"https://example.invalid/dl","notes":"修复 \\"引号\\" 问题","hasUpdate":${has}}`, v);
        const req = primary.requests.at(-1);
        assert.equal(req.method, 'GET');
        assert.equal(req.url, '/download/tamsel-version.json');
        assert.equal(req.headers['user-agent'], 'nem-web-shell/1.0');
      }
    });

    it('reports a bad manifest and a failing server in Chinese', async () => {
      manifest('1.2');  // a number, not a string
      assert.equal(await update(), '{"ok":false,"message":"版本清单格式不对"}');
      for (const status of [404, 500]) {
        primary.status = status;
        primary.body = '{"version":"9.9.9"}';
        assert.equal(await update(), '{"ok":false,"message":"连不上更新服务器"}', String(status));
      }
    });

    it('posts the report to the primary host', async () => {
      primary.status = 200; primary.body = '{"ok":true}';
      primary.requests.length = 0; fallback.requests.length = 0;
      const r = await srv.post('/api/feedback', { text: '扫描很快', contact: 'a@b.c', kind: 'bug' });
      assert.equal(r.text, '{"ok":true}');
      assert.equal(primary.requests.length, 1);
      assert.equal(fallback.requests.length, 0);
      const req = primary.requests[0];
      assert.equal(req.method, 'POST');
      assert.equal(req.url, '/api/feedback');
      assert.equal(req.headers['content-type'], 'application/json; charset=utf-8');
      assert.match(req.body, /^\{"app":"Tamsel","kind":"Bug","text":"扫描很快","contact":"a@b\.c","page":"Tamsel 1\.0\.2 · Windows[^"]*","hp":""\}$/);
    });

    it('falls back when the primary fails, and reports what the server said', async () => {
      primary.requests.length = 0; fallback.requests.length = 0;
      primary.status = 503; fallback.status = 200;
      assert.equal((await srv.post('/api/feedback', { text: 'x', kind: 'idea' })).text, '{"ok":true}');
      assert.equal(fallback.requests.length, 1);
      assert.match(fallback.requests[0].body, /"kind":"建议"/);
      primary.status = 429;
      assert.equal((await srv.post('/api/feedback', { text: 'x' })).text,
        '{"ok":false,"message":"提交太频繁了，过十分钟再试","fallback":true}');
      fallback.requests.length = 0;
      primary.status = 404;
      assert.equal((await srv.post('/api/feedback', { text: 'x' })).text,
        '{"ok":false,"message":"服务器返回 404","fallback":true}');
      assert.equal(fallback.requests.length, 0, 'a 404 is not worth a second try');
    });
  });
}
