// The request gate of the real program, for every build found: requests
// that another web site can make a browser send (a foreign Host after DNS
// rebinding, a foreign Origin, a cross-site fetch) are refused before they
// reach the API, even when they carry the access token; bodies announced
// too large or inconsistently are refused unread; static paths that could
// leave the served folder are never served. (Requests without the token:
// access_token.test.mjs.)
//
// Everything here goes over raw sockets: fetch would rewrite Host, Origin
// and dot segments itself.

import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import { builds, rawRequest, parseResponse, isListening, lines } from './harness.mjs';
import { windowsEnv, Planter, listDrive, diffListings, waitTask, sleep } from './fixtures.mjs';

const HOST_REFUSED = '{"ok":false,"message":"拒绝访问：请求的主机名不是本机（可能是 DNS 重绑定攻击）"}';
const ORIGIN_REFUSED = '{"ok":false,"message":"拒绝访问：其他网站不能操作本程序"}';
const TOO_LARGE = '{"ok":false,"message":"请求内容太大，已拒绝"}';
const BAD_LENGTH = '{"ok":false,"message":"请求长度不正确，已拒绝"}';
const STATUS_IDLE =
  '{"ok":true,"busy":false,"finished":false,"phase":"idle","done":0,"total":0,"bytes":0,"files":0,"cur":""}';
const CLOSE_RE = /\[ok\] 关闭本窗口即退出程序\n/;

// The whole answer, byte for byte, of a refusal.
function refusal(code, text, body) {
  return `HTTP/1.1 ${code} ${text}\r\nContent-Type: application/json; charset=utf-8\r\n` +
    `Content-Length: ${Buffer.byteLength(body)}\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n${body}`;
}

// A request with the given head lines (Host and the rest) and body.
function request(method, target, headers = [], body = '') {
  return `${method} ${target} HTTP/1.1\r\n${headers.map((h) => `${h}\r\n`).join('')}` +
    `Connection: close\r\n\r\n${body}`;
}

// The built-in error page around the (escaped) requested name.
const PAGE_HEAD = '<!doctype html><html lang="zh-CN"><head><meta charset="utf-8">' +
  '<meta name="viewport" content="width=device-width,initial-scale=1">' +
  '<title>找不到文件 - Tamsel</title>' +
  "<style>body{font-family:-apple-system,'Microsoft YaHei',sans-serif;background:#F7F6F3;color:#33302B;" +
  'margin:0;padding:40px 18px;line-height:1.8}.box{max-width:660px;margin:0 auto;background:#fff;' +
  'border:1px solid #E6E2DA;border-radius:12px;padding:26px 24px}h1{font-size:18px;margin:0 0 12px}' +
  'code{background:#F2F0EA;padding:2px 6px;border-radius:5px;font-size:13px;word-break:break-all}' +
  '.k{color:#8B3A2F}</style></head><body><div class="box">' +
  '<h1>找不到：<b>';
const PAGE_TAIL = '</b></h1>' +
  '<p>界面文件都打包在程序内部，正常使用不会看到这个页面。</p>' +
  '<p>多半是地址打错了，或者从旧的书签 / 历史记录点进来的 —— 回首页重新开始即可。</p>' +
  '</div></body></html>';

// Checks a 404 error page and returns the name shown in it, with HTML
// entities undone.
function errorPageName(res, label) {
  assert.equal(res?.status, 404, `${label}: ${res?.statusLine}`);
  assert.equal(res.headers['content-type'], 'text/html; charset=utf-8', label);
  const body = res.body.toString('utf8');
  assert.ok(body.startsWith(PAGE_HEAD) && body.endsWith(PAGE_TAIL), `${label}: not the error page:\n${body}`);
  const shown = body.slice(PAGE_HEAD.length, body.length - PAGE_TAIL.length);
  assert.doesNotMatch(shown, /[<>"]/, `${label}: name shown unescaped: ${shown}`);
  return shown
    .replace(/&lt;/g, '<').replace(/&gt;/g, '>').replace(/&quot;/g, '"')
    .replace(/&#39;|&#x27;|&apos;/g, "'").replace(/&amp;/g, '&');
}

// The non-loopback IPv4 addresses of this machine, each once.
function ownAddresses() {
  const out = [];
  for (const list of Object.values(os.networkInterfaces())) {
    for (const a of list ?? []) {
      if (a.family === 'IPv4' && !a.internal && !out.includes(a.address)) out.push(a.address);
    }
  }
  return out;
}

// A non-loopback IPv4 address of this machine, or undefined.
function ownAddress() {
  return ownAddresses()[0];
}

for (const build of builds()) {
  describe(`${build.name} request gate`, { timeout: 180_000 }, () => {
    const env = windowsEnv(build);
    const planter = new Planter(build);
    let srv;
    let port;
    // A failure names the request, so that a hang shows which one.
    const send = (bytes, opts) => rawRequest(port, bytes, opts).then(
      (b) => ({ raw: b, res: parseResponse(b) }),
      (e) => { throw new Error(`${e.message}\nrequest:\n${bytes}`); });
    // The token line of the server under test, for every API request.
    const tok = () => srv.tokenLine();
    const status = async () => (await send(request('GET', '/api/status', [`Host: 127.0.0.1:${port}`, tok()]))).res.body.toString('utf8');

    // Videos at the top of Downloads: an item whose folder the unit tests
    // running alongside in a shared wine prefix leave alone.
    const DL = `${env.USERPROFILE}\\Downloads`;
    before(async () => {
      planter.file(`${DL}\\tamsel-bb-gate1.mp4`, 1234);
      planter.file(`${DL}\\tamsel-bb-gate2.avi`, 567);
      srv = await build.start([]);
      await srv.waitFor(CLOSE_RE, 15_000);
      port = srv.port;
    });
    after(async () => {
      await srv?.stop();
      planter.removeAll();
    });

    test('a foreign Host is refused on pages and API alike, and nothing starts', async () => {
      for (const [method, target, body] of [
        ['GET', '/', ''],
        ['GET', '/index.html', ''],
        ['POST', '/api/scan', '{"items":[]}'],
        ['POST', '/api/clean', '{"items":["downloads-video"],"dryRun":false}'],
        ['GET', '/api/env', ''],
      ]) {
        for (const host of ['evil.example', `evil.example:${port}`, `127.0.0.1:${port + 1}`,
          `localhost.evil.example:${port}`, `127.0.0.1.nip.io:${port}`, `0.0.0.0:${port}`]) {
          const headers = [`Host: ${host}`, tok()];
          if (body) headers.push('Content-Type: application/json', `Content-Length: ${body.length}`);
          const { raw } = await send(request(method, target, headers, body));
          assert.equal(raw.toString('utf8'), refusal(403, 'Forbidden', HOST_REFUSED), `${method} ${target} Host ${host}`);
        }
      }
      // A task starts before its request is answered: the status right
      // after the refusals shows any that did.
      assert.equal(await status(), STATUS_IDLE, 'no task was started');
    });

    test('our own names pass, with our port or without one, and so does a request without Host', async () => {
      for (const host of [`127.0.0.1:${port}`, `localhost:${port}`, '127.0.0.1', 'localhost', `LocalHost:${port}`]) {
        const { res } = await send(request('GET', '/api/status', [`Host: ${host}`, tok()]));
        assert.equal(res?.status, 200, `Host ${host}`);
        assert.equal(res.body.toString('utf8'), STATUS_IDLE);
      }
      const { res } = await send(request('GET', '/api/status', [tok()]));
      assert.equal(res?.status, 200);
      const page = await send(request('GET', '/', [`Host: localhost:${port}`]));
      assert.equal(page.res?.status, 200);
      assert.match(page.res.body.toString('utf8'), /^<!doctype html>/i);
    });

    test('a foreign Origin cannot clean: 403 and the planted files stay', async () => {
      const body = '{"items":["downloads-video"],"dryRun":false}';
      const beforeList = listDrive(build);
      const origins = ['http://evil.example', 'null', `http://evil.example:${port}`,
        `http://127.0.0.1:${port + 1}`, 'http://127.0.0.1', `https://127.0.0.1:${port}`,
        `http://127.0.0.1:${port}.evil.example`];
      for (const origin of origins) {
        const { raw } = await send(request('POST', '/api/clean', [`Host: 127.0.0.1:${port}`, tok(),
          `Origin: ${origin}`, 'Content-Type: application/json', `Content-Length: ${body.length}`], body));
        assert.equal(raw.toString('utf8'), refusal(403, 'Forbidden', ORIGIN_REFUSED), `Origin ${origin}`);
      }
      // A fetch from another site, announced by the browser, without Origin.
      for (const site of ['cross-site', 'same-site', 'Cross-Site']) {
        const { raw } = await send(request('POST', '/api/clean', [`Host: 127.0.0.1:${port}`, tok(),
          `Sec-Fetch-Site: ${site}`, 'Content-Type: application/json', `Content-Length: ${body.length}`], body));
        assert.equal(raw.toString('utf8'), refusal(403, 'Forbidden', ORIGIN_REFUSED), `Sec-Fetch-Site ${site}`);
      }
      // Our own origin together with a cross-site marker is still refused.
      const mixed = await send(request('POST', '/api/clean', [`Host: 127.0.0.1:${port}`, tok(),
        `Origin: http://127.0.0.1:${port}`, 'Sec-Fetch-Site: cross-site',
        'Content-Type: application/json', `Content-Length: ${body.length}`], body));
      assert.equal(mixed.raw.toString('utf8'), refusal(403, 'Forbidden', ORIGIN_REFUSED));

      // A task starts before its request is answered: no pause is needed.
      assert.equal(await status(), STATUS_IDLE, 'no clean was started');
      assert.deepEqual(diffListings(beforeList, listDrive(build)), { gone: [], added: [], changed: [] });
    });

    test('our own origin and same-origin fetches pass (and would have cleaned)', async () => {
      for (const h of [[`Origin: http://127.0.0.1:${port}`], [`Origin: http://localhost:${port}`],
        ['Sec-Fetch-Site: same-origin'], ['Sec-Fetch-Site: none']]) {
        const { res } = await send(request('POST', '/api/status', [`Host: 127.0.0.1:${port}`, tok(), ...h]));
        assert.equal(res?.status, 200, h.join());
        assert.equal(res.body.toString('utf8'), STATUS_IDLE);
      }
      // The refused body, sent from our own page as a dry run, does start: it
      // was the gate that stopped it.
      const beforeList = listDrive(build);
      const body = '{"items":["downloads-video"]}';
      const { res } = await send(request('POST', '/api/clean', [`Host: 127.0.0.1:${port}`, tok(),
        `Origin: http://127.0.0.1:${port}`, 'Sec-Fetch-Site: same-origin',
        'Content-Type: application/json', `Content-Length: ${body.length}`], body));
      assert.equal(res.body.toString('utf8'), '{"ok":true,"started":true,"dryRun":true}');
      await waitTask(srv);
      const result = (await srv.get('/api/result')).text;
      assert.match(result, /"items":\[\{"id":"downloads-video","bytes":1801,"files":2,"skipped":0,"errors":\[\],"shared":0,"sharedWith":\[\]\}\]/);
      assert.deepEqual(diffListings(beforeList, listDrive(build)), { gone: [], added: [], changed: [] });
    });

    test('pages ignore Origin: a cross-site link may open the page', async () => {
      const { res } = await send(request('GET', '/', [`Host: 127.0.0.1:${port}`,
        'Origin: http://evil.example', 'Sec-Fetch-Site: cross-site']));
      assert.equal(res?.status, 200);
    });

    test('bodies announced too large are refused at once, unread; bad lengths are refused', async () => {
      const statusBefore = await status();
      // The largest body is 16 MiB (a settings document with 100,000 files left out).
      for (const len of [String(16 * 2 ** 20 + 1), '104857600000', '99999999999999999999']) {
        const t0 = Date.now();
        // Nothing of the body is sent: the answer must not wait for it.
        const { raw } = await send(request('POST', '/api/scan', [`Host: 127.0.0.1:${port}`,
          'Content-Type: application/json', `Content-Length: ${len}`]), { timeout: 4000 });
        const took = Date.now() - t0;
        assert.equal(raw.toString('utf8'), refusal(413, 'Payload Too Large', TOO_LARGE), `length ${len}`);
        assert.ok(took < 2000, `413 took ${took} ms`);
      }
      for (const [label, headers] of [
        ['negative', ['Content-Length: -1']],
        ['negative, lower case', ['content-length: -20']],
        ['conflicting', ['Content-Length: 5', 'Content-Length: 6']],
        ['conflicting spellings', ['Content-Length: 12', 'content-length: 13']],
        ['not a number', ['Content-Length: 12abc']],
        ['a sign', ['Content-Length: +12']],
        ['two numbers in one field', ['Content-Length: 12 12']],
        ['empty', ['Content-Length:']],
      ]) {
        const t0 = Date.now();
        const { raw } = await send(request('POST', '/api/scan', [`Host: 127.0.0.1:${port}`, ...headers],
          '{"items":[]}'), { timeout: 4000 });
        assert.equal(raw.toString('utf8'), refusal(400, 'Bad Request', BAD_LENGTH), label);
        assert.ok(Date.now() - t0 < 2000, `${label}: answered quickly`);
      }
      // A task starts before its request is answered: no pause is needed.
      assert.equal(await status(), statusBefore, 'no task was started');

      // Exactly 16 MiB is still accepted.
      const big = `{"x":"${'a'.repeat(16 * 2 ** 20 - 8)}"}`;
      assert.equal(Buffer.byteLength(big), 16 * 2 ** 20);
      const { res } = await send(request('POST', '/api/status', [`Host: 127.0.0.1:${port}`, tok(),
        `Content-Length: ${big.length}`], big));
      assert.equal(res?.status, 200);
      assert.equal(res.body.toString('utf8'), statusBefore);
    });

    test('the body length comes from its own field, in any letter case, never from the target or another field', async () => {
      // A body the scan refuses: read whole, it starts nothing and says why.
      const body = '{"olderThanDays":-1}';
      const refusedAge = '{"ok":false,"message":"olderThanDays 必须是 0 到 3650 的整数"}';
      for (const [label, target, headers] of [
        ['capital letters', '/api/scan', [`CONTENT-LENGTH: ${body.length}`]],
        ['a length in the query', '/api/scan?note=Content-Length:0', [`Content-Length: ${body.length}`]],
        ['a length in another field', '/api/scan', ['X-Note: Content-Length: 3', `Content-Length: ${body.length}`]],
      ]) {
        const { res } = await send(request('POST', target, [`Host: 127.0.0.1:${port}`, tok(), ...headers], body));
        assert.equal(res?.status, 200, label);
        assert.equal(res.body.toString('utf8'), refusedAge, label);
      }
      assert.equal(JSON.parse(await status()).busy, false, 'no task was started');
    });

    test('/api/shell/exit from a foreign origin is refused and the program lives on', async () => {
      const own = await build.start([]);
      try {
        await own.waitFor(CLOSE_RE, 15_000);
        for (const h of ['Origin: http://evil.example', 'Sec-Fetch-Site: cross-site', 'Host: evil.example']) {
          const headers = [own.tokenLine(), ...(h.startsWith('Host') ? [h] : [`Host: 127.0.0.1:${own.port}`, h])];
          const raw = await rawRequest(own.port, request('POST', '/api/shell/exit', headers));
          assert.equal(raw.toString('utf8'),
            refusal(403, 'Forbidden', h.startsWith('Host') ? HOST_REFUSED : ORIGIN_REFUSED), h);
        }
        await sleep(1500);
        assert.equal(own.exited(), null, 'the program is still running');
        assert.equal(await isListening(own.port), true);

        // From our own page it does end the program, about half a second
        // later and with exit code 0.
        const raw = await rawRequest(own.port, request('POST', '/api/shell/exit',
          [`Host: 127.0.0.1:${own.port}`, own.tokenLine(), `Origin: http://127.0.0.1:${own.port}`]));
        assert.equal(parseResponse(raw)?.body.toString('utf8'), '{"ok":true}');
        const ended = await Promise.race([
          new Promise((r) => { const t = setInterval(() => { if (own.exited()) { clearInterval(t); r(own.exited()); } }, 20); }),
          sleep(8000).then(() => null),
        ]);
        assert.ok(ended, 'the program ended after the exit request');
        assert.equal(ended.code, 0);
      } finally {
        await own.stop();
      }
    });

    describe('static files from a folder given on the command line', () => {
      const web = new Planter(build);
      let site;
      const WEB = 'C:\\tamsel-bb-web';
      const SECRET = 'TOP-SECRET-not-for-the-web';
      before(async () => {
        web.file(`${WEB}\\dist\\ok.txt`, 0);
        fs.writeFileSync(build.hostPath(`${WEB}\\dist\\ok.txt`), 'served-ok');
        web.file(`${WEB}\\dist\\sub\\inner.txt`, 0);
        fs.writeFileSync(build.hostPath(`${WEB}\\dist\\sub\\inner.txt`), 'inner-ok');
        web.file(`${WEB}\\secret.txt`, 0);
        fs.writeFileSync(build.hostPath(`${WEB}\\secret.txt`), SECRET);
        web.file(`${WEB}\\dist.txt`, 0);
        fs.writeFileSync(build.hostPath(`${WEB}\\dist.txt`), SECRET);
        site = await build.start(['0', `${WEB}\\dist`]);
        await site.waitFor(CLOSE_RE, 15_000);
      });
      after(async () => {
        await site?.stop();
        web.removeAll();
      });
      const get = (target) => rawRequest(site.port, request('GET', target, [`Host: 127.0.0.1:${site.port}`]))
        .then((b) => parseResponse(b));

      test('files inside the folder are served', async () => {
        for (const [target, text] of [['/ok.txt', 'served-ok'], ['/sub/inner.txt', 'inner-ok'],
          ['/static/ok.txt', 'served-ok'], ['/ok.txt?x=1', 'served-ok']]) {
          const res = await get(target);
          assert.equal(res?.status, 200, target);
          assert.equal(res.headers['content-type'], 'text/plain; charset=utf-8');
          assert.equal(res.body.toString('utf8'), text, target);
        }
      });

      test('paths that could leave the folder get the error page, never the file', async () => {
        const targets = [
          '/../secret.txt', '/../dist.txt', '/..%2fsecret.txt', '/..%2f..%2fsecret.txt',
          '/static/../secret.txt', '/static/../../secret.txt', '/sub/../../secret.txt',
          '/..\\secret.txt', '/sub\\..\\..\\secret.txt', '/\\..\\secret.txt', '/static\\..\\..\\secret.txt',
          '/C:/tamsel-bb-web/secret.txt', '/C:\\tamsel-bb-web\\secret.txt', '/c:/tamsel-bb-web/secret.txt',
          '/ok.txt.', '/ok.txt::$DATA', '/ok.txt:x', '/sub./inner.txt', '/sub../inner.txt', '/./ok.txt',
          '/.../secret.txt', '/sub/..', '/..',
        ];
        for (const target of targets) {
          const res = await get(target);
          assert.ok(!res?.body.includes(SECRET), `${target} leaked the outside file`);
          const shown = errorPageName(res, target);
          assert.equal(shown, target.split('?')[0], `${target}: the page names the request`);
        }
      });

      test('the error page escapes markup in the requested name', async () => {
        // No spaces: a space would end the request target.
        const target = '/<script>alert(1)</script><img/src=x/onerror="alert(2)">&amp;\'.js';
        const res = await get(target);
        const body = res.body.toString('utf8');
        assert.ok(!body.includes('<script>'), body);
        assert.ok(!body.includes('<img'), body);
        assert.ok(body.includes('&lt;script&gt;'), body);
        assert.equal(errorPageName(res, target), target);
        // A plain missing name is shown as it is.
        assert.equal(errorPageName(await get('/missing.png'), '/missing.png'), '/missing.png');
      });
    });

    describe('--lan', () => {
      const addr = ownAddress();
      test('the address the client connected to is accepted only with --lan', { skip: addr ? false : 'no non-loopback IPv4 address' }, async () => {
        // Without --lan: not listening there, and the name is refused on
        // the loopback.
        const refused = await rawRequest(port, request('GET', '/api/status', [`Host: ${addr}:${port}`, tok()]));
        assert.equal(refused.toString('utf8'), refusal(403, 'Forbidden', HOST_REFUSED));
        await assert.rejects(rawRequest(port, request('GET', '/api/status', [`Host: ${addr}:${port}`]),
          { host: addr, timeout: 3000 }), /ECONNREFUSED|still open/);

        const lan = await build.start(['--lan']);
        try {
          await lan.waitFor(CLOSE_RE, 15_000);
          assert.match(lan.stdout(), new RegExp(`\\[ok\\] 局域网模式：同网段设备可访问 http://<本机IP>:${lan.port}/\\n`));
          // After it, the address with the token once for each address of
          // the machine, so that another device can open a working page.
          const lanLines = lines(lan.stdout().split('局域网模式')[1]).slice(1, -1);
          const want = ownAddresses().map((a) =>
            `[ok] 本机访问地址（含访问令牌）：http://${a}:${lan.port}/#token=${lan.token}`);
          assert.deepEqual([...lanLines].sort(), [...want].sort(), lan.stdout());
          const via = (host, headers) => rawRequest(lan.port,
            request('POST', '/api/status', [...headers, lan.tokenLine()]), { host }).then((b) => parseResponse(b));
          for (const h of [[`Host: ${addr}:${lan.port}`], [`Host: ${addr}`],
            [`Host: ${addr}:${lan.port}`, `Origin: http://${addr}:${lan.port}`]]) {
            const res = await via(addr, h);
            assert.equal(res?.status, 200, `via ${addr}: ${h.join(', ')}`);
            assert.equal(res.body.toString('utf8'), STATUS_IDLE);
          }
          // Through the LAN address, foreign names and origins are still refused.
          let res = await via(addr, ['Host: evil.example']);
          assert.equal(res?.status, 403);
          assert.equal(res.body.toString('utf8'), HOST_REFUSED);
          res = await via(addr, [`Host: ${addr}:${lan.port}`, 'Origin: http://evil.example']);
          assert.equal(res?.status, 403);
          assert.equal(res.body.toString('utf8'), ORIGIN_REFUSED);
          // The LAN name is ours only on a connection made to it.
          res = await via('127.0.0.1', [`Host: ${addr}:${lan.port}`]);
          assert.equal(res?.status, 403);
          assert.equal(res.body.toString('utf8'), HOST_REFUSED);
          res = await via('127.0.0.1', [`Host: 127.0.0.1:${lan.port}`]);
          assert.equal(res?.status, 200);
        } finally {
          await lan.stop();
        }
      });
    });
  });
}
