// The access token of the real program, for every build found: every /api/
// path but /api/env is refused with one exact 403 unless the request
// carries the token of this run in exactly one X-Tamsel-Token header, and
// never in the query string; a refused request runs nothing (a refused real
// clean deletes nothing, the whole drive compared before and after), and
// the server keeps answering. With the token the same requests work.
//
// Raw sockets throughout: fetch would merge two headers of one name.

import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { builds, rawRequest, parseResponse, lines } from './harness.mjs';
import { windowsEnv, Planter, listDrive, diffListings, relKey, waitTask, sleep } from './fixtures.mjs';

const REFUSED = '{"ok":false,"message":"拒绝访问：缺少或错误的访问令牌，请从 Tamsel 打开的页面操作"}';
const REFUSED_RESPONSE = 'HTTP/1.1 403 Forbidden\r\nContent-Type: application/json; charset=utf-8\r\n' +
  `Content-Length: ${Buffer.byteLength(REFUSED)}\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n` +
  REFUSED;
const STATUS_IDLE =
  '{"ok":true,"busy":false,"finished":false,"phase":"idle","done":0,"total":0,"bytes":0,"files":0,"cur":""}';
const CLOSE_RE = /\[ok\] 关闭本窗口即退出程序\n/;

// Every API path the program has, and some it has not.
const API_PATHS = [
  '/api/rules', '/api/scan', '/api/clean', '/api/cancel', '/api/status', '/api/result',
  '/api/scanresult', '/api/detail?id=downloads-video', '/api/recycle', '/api/feedback',
  '/api/shell/info', '/api/shell/exit', '/api/shell/update', '/api/shell/elevate',
  '/api/shell/shortcut', '/api/nothing', '/api/Env', '/api/env/', '/api/envx', '/api/',
];

function request(method, target, headers, body = '') {
  const h = [...headers];
  if (body) h.push('Content-Type: application/json', `Content-Length: ${Buffer.byteLength(body)}`);
  return `${method} ${target} HTTP/1.1\r\n${h.map((l) => `${l}\r\n`).join('')}Connection: close\r\n\r\n${body}`;
}

// The token with one digit changed.
function oneDigitOff(token, at) {
  const c = token[at] === '0' ? '1' : '0';
  return token.slice(0, at) + c + token.slice(at + 1);
}

// Ways to get the token wrong: [label, extra head lines, query to append].
function badTokens(token) {
  const line = (v) => `X-Tamsel-Token: ${v}`;
  return [
    ['no header', [], ''],
    ['empty header', [line('')], ''],
    ['first digit changed', [line(oneDigitOff(token, 0))], ''],
    ['last digit changed', [line(oneDigitOff(token, 31))], ''],
    ['upper case', [line(token.toUpperCase())], ''],
    ['one digit short', [line(token.slice(1))], ''],
    ['one digit more', [line(`${token}0`)], ''],
    ['10 KB', [line('a'.repeat(10240))], ''],
    ['the token twice', [line(token), line(token)], ''],
    ['right then wrong', [line(token), line(oneDigitOff(token, 5))], ''],
    ['both in one header', [line(`${token}, ${token}`)], ''],
    ['in the query', [], `token=${token}`],
    ['in the query beside the header', [line(token)], `token=${token}`],
    ['as a cookie', [`Cookie: token=${token}`], ''],
    ['under another name', [`X-Tamsel-Key: ${token}`], ''],
  ];
}

const withQuery = (target, query) => {
  if (!query) return target;
  return target + (target.includes('?') ? '&' : '?') + query;
};

for (const build of builds()) {
  describe(`${build.name} access token`, { timeout: 300_000 }, () => {
    const env = windowsEnv(build);
    const planter = new Planter(build);
    let srv;
    const send = (bytes) => rawRequest(srv.port, bytes).then(
      (b) => ({ raw: b.toString('utf8'), res: parseResponse(b) }),
      (e) => { throw new Error(`${e.message}\nrequest:\n${bytes.slice(0, 400)}`); });
    const host = () => `Host: 127.0.0.1:${srv.port}`;

    // Videos at the top of Downloads: an item whose folder the unit tests
    // running alongside in a shared wine prefix leave alone.
    const DL = `${env.USERPROFILE}\\Downloads`;
    const VIDEOS = [`${DL}\\tamsel-bb-token1.mp4`, `${DL}\\tamsel-bb-token2.mkv`];
    before(async () => {
      planter.file(VIDEOS[0], 2345);
      planter.file(VIDEOS[1], 678);
      srv = await build.start([]);
      await srv.waitFor(CLOSE_RE, 15_000);
    });
    after(async () => {
      await srv?.stop();
      planter.removeAll();
    });

    test('each start prints a token of its own: 32 lower-case hex digits', async () => {
      assert.match(srv.token, /^[0-9a-f]{32}$/);
      const other = await build.start([]);
      try {
        assert.match(other.token, /^[0-9a-f]{32}$/);
        assert.notEqual(other.token, srv.token);
        // One server's token opens nothing on the other.
        const { raw } = await send(request('GET', '/api/status', [host(), other.tokenLine()]));
        assert.equal(raw, REFUSED_RESPONSE);
      } finally {
        await other.stop();
      }
    });

    test('every API path but /api/env is refused, byte for byte, for every wrong token', async () => {
      for (const [label, headers, query] of badTokens(srv.token)) {
        for (const path of API_PATHS) {
          for (const method of ['GET', 'POST']) {
            const body = method === 'POST' ? '{"items":["downloads-video"],"dryRun":false}' : '';
            const { raw } = await send(request(method, withQuery(path, query), [host(), ...headers], body));
            assert.equal(raw, REFUSED_RESPONSE, `${label}: ${method} ${path}`);
          }
        }
      }
      // Nothing ran, and the program still serves (the exit request above
      // was refused too).
      await sleep(1000);
      assert.equal(srv.exited(), null, 'the program is still running');
      const { res } = await send(request('GET', '/api/status', [host(), srv.tokenLine()]));
      assert.equal(res?.status, 200);
      assert.equal(res.body.toString('utf8'), STATUS_IDLE, 'no task was started');
    });

    test('/api/env and the page stay open without the token', async () => {
      const env1 = await send(request('GET', '/api/env', [host()]));
      assert.equal(env1.res?.status, 200);
      assert.match(env1.res.body.toString('utf8'), /^\{"ok":true,"admin":(true|false),"version":"1\.0\.2","name":"Tamsel",/);
      // A wrong token on an open path changes nothing.
      const env2 = await send(request('GET', '/api/env', [host(), 'X-Tamsel-Token: nope']));
      assert.equal(env2.res?.status, 200);
      const page = await send(request('GET', '/', [host()]));
      assert.equal(page.res?.status, 200);
      // The page's script and style sheet, under the names the page uses.
      const assets = [...page.res.body.toString('utf8').matchAll(/(?:src|href)="(\/[^"]+)"/g)].map((m) => m[1]);
      assert.ok(assets.length >= 2, `assets named by the page: ${assets}`);
      for (const target of ['/index.html', ...assets]) {
        const { res } = await send(request('GET', target, [host()]));
        assert.equal(res?.status, 200, target);
      }
    });

    test('with the token the API answers, in any spelling of the header name', async () => {
      for (const name of ['X-Tamsel-Token', 'x-tamsel-token', 'X-TAMSEL-TOKEN']) {
        const { res } = await send(request('GET', '/api/status', [host(), `${name}: ${srv.token}`]));
        assert.equal(res?.status, 200, name);
        assert.equal(res.body.toString('utf8'), STATUS_IDLE);
      }
      for (const path of ['/api/rules', '/api/result', '/api/scanresult', '/api/recycle',
        '/api/detail?id=downloads-video', '/api/cancel', '/api/shell/info']) {
        const { res } = await send(request('GET', path, [host(), srv.tokenLine()]));
        assert.equal(res?.status, 200, path);
        assert.match(res.body.toString('utf8'), /^\{"ok":true/, path);
      }
      const nothing = await send(request('GET', '/api/nothing', [host(), srv.tokenLine()]));
      assert.equal(nothing.res?.status, 404);
      // The feedback form's own check runs: the empty text is refused there.
      const fb = await send(request('POST', '/api/feedback', [host(), srv.tokenLine()], '{"text":""}'));
      assert.equal(fb.res?.body.toString('utf8'), '{"ok":false,"message":"请先写点什么再提交"}');
    });

    test('a refused real clean deletes nothing; the same request with the token deletes', async () => {
      const body = '{"items":["downloads-video"],"dryRun":false}';
      const beforeList = listDrive(build);
      for (const [label, headers, query] of badTokens(srv.token)) {
        const { raw } = await send(request('POST', withQuery('/api/clean', query), [host(), ...headers], body));
        assert.equal(raw, REFUSED_RESPONSE, label);
      }
      // A clean starts before its request is answered: no pause is needed.
      const { res } = await send(request('GET', '/api/status', [host(), srv.tokenLine()]));
      assert.equal(res.body.toString('utf8'), STATUS_IDLE, 'no clean was started');
      assert.deepEqual(diffListings(beforeList, listDrive(build)), { gone: [], added: [], changed: [] });

      // The request itself was a working one: with the token it removes
      // exactly the two videos, which go to the Recycle Bin (the stand-in's
      // is a folder on the drive, wine's lies outside it).
      const ok = await send(request('POST', '/api/clean', [host(), srv.tokenLine()], body));
      assert.equal(ok.res?.body.toString('utf8'), '{"ok":true,"started":true,"dryRun":false}');
      await waitTask(srv);
      const d = diffListings(beforeList, listDrive(build));
      const intoBin = d.added.filter((k) => /^\$Recycle\.Bin(\/|$)/.test(k));
      assert.deepEqual({ ...d, added: d.added.filter((k) => !intoBin.includes(k)) },
        { gone: VIDEOS.map((v) => relKey(build, v)).sort(), added: [], changed: [] });
      if (build.name === 'native') assert.equal(intoBin.filter((k) => /\/\$R[^/]*$/.test(k)).length, VIDEOS.length);
    });

    test('the server keeps answering after a flood of refused requests', async () => {
      const floods = [];
      for (let i = 0; i < 40; i++) {
        floods.push(send(request('POST', '/api/scan', [host(), `X-Tamsel-Token: ${'f'.repeat(10240)}`], '{}')));
      }
      for (const { raw } of await Promise.all(floods)) assert.equal(raw, REFUSED_RESPONSE);
      const { res } = await send(request('GET', '/api/status', [host(), srv.tokenLine()]));
      assert.equal(res?.status, 200);
    });

    test('the console line holds the address that opens a working page', async () => {
      const line = lines(srv.stdout()).find((l) => l.includes('访问令牌'));
      assert.equal(line, `[ok] 本机访问地址（含访问令牌）：http://127.0.0.1:${srv.port}/#token=${srv.token}`);
    });
  });
}
