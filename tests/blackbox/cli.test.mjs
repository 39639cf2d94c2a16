// Command line and start-up of the real program, for every build found:
// what it prints, how it exits, which port it serves on, and that a started
// server answers the page and the unknown-API error.

import { describe, test } from 'node:test';
import assert from 'node:assert/strict';
import {
  builds, lines, occupyPort, freePort, isListening, rawRequest, parseResponse,
  VERSION_LINE, RULE_LINE,
} from './harness.mjs';

const USAGE = [
  '用法: tamsel [端口] [dist目录] [--no-browser] [--lan] [--selftest] [--version]',
  '  端口不填 = 随机空闲端口；dist 目录不填 = 用内嵌资源',
  '  --no-browser  启动后不自动打开浏览器',
  '  --lan         绑 0.0.0.0（同网段设备可访问，首次可能弹防火墙授权）',
  '  --selftest    起服务→自我请求→打印结果→退出',
  '  --force-new   跳过单实例复用，强制起一个新实例',
  '不开页面清理: tamsel --clean [项目ID,项目ID...|default] [--dry-run] [--older-than 天数] [--quiet]',
  '  --clean       清理后退出；不写项目或写 default = 设置里「自动清理」列表中的项目，只清理至少 N 天前修改过的文件（N 在设置里选，默认 1；--older-than 可改）；已有实例时交给它清理',
  '  --dry-run     只统计可释放多少，不删除',
  '  --older-than  只清理至少这么多天前修改过的文件（0-3650）',
  '  --quiet       只打印最后一行汇总',
  '自动清理: tamsel --schedule daily|weekly|off',
  '  --schedule    每天 / 每周在电脑空闲且接通电源时运行 --clean default --quiet；off = 关闭',
].map((l) => l + '\n').join('');

const STARTED_LINE = /^\[ok\] 服务已启动：http:\/\/127\.0\.0\.1:(\d+)\/$/;
const TOKEN_LINE = /^\[ok\] 本机访问地址（含访问令牌）：http:\/\/127\.0\.0\.1:(\d+)\/#token=([0-9a-f]{32})$/;
const EMBEDDED_LINE = '[ok] 界面已内嵌：3 项资源（无需 dist/ 目录）';
const CLOSE_LINE = '[ok] 关闭本窗口即退出程序';
const warnLine = (port) => `[warn] 端口 ${port} 已被占用，改为随机分配`;
const NO_SUCH_API = '{"code":404,"message":"no such api"}';

// A server is only looked at once it has printed its last start-up line, so
// that assertions on the whole output see everything start-up prints.
async function withServer(build, args, fn, opts = {}) {
  const srv = await build.start(args, opts);
  try {
    await srv.waitFor(/\[ok\] 关闭本窗口即退出程序\n/, 15_000);
    return await fn(srv);
  } finally {
    await srv.stop();
  }
}

// The complete start-up output of a server started with --no-browser and
// without --lan: banner, rule, the optional port warning, address, address
// with the access token, embedded resources, closing hint, and nothing
// else.
function assertStartupLines(stdout, { warnPort } = {}) {
  const got = lines(stdout);
  const expected = [VERSION_LINE, RULE_LINE];
  if (warnPort !== undefined) expected.push(warnLine(warnPort));
  assert.equal(got.length, expected.length + 4, `unexpected line count in:\n${stdout}`);
  assert.deepEqual(got.slice(0, expected.length), expected);
  const m = STARTED_LINE.exec(got[expected.length]);
  assert.ok(m, `address line: ${JSON.stringify(got[expected.length])}`);
  const t = TOKEN_LINE.exec(got[expected.length + 1]);
  assert.ok(t, `token line: ${JSON.stringify(got[expected.length + 1])}`);
  assert.equal(t[1], m[1], 'the token line names the same port');
  assert.equal(got[expected.length + 2], EMBEDDED_LINE);
  assert.equal(got[expected.length + 3], CLOSE_LINE);
  assert.ok(stdout.endsWith('\n'), 'last line ends with a line feed');
  return Number(m[1]);
}

function assertNoWarning(stdout) {
  assert.ok(!stdout.includes('[warn]'), `unexpected warning in:\n${stdout}`);
}

test('at least one build is available to test', () => {
  // Without this a CI machine with no binaries would report an empty pass.
  assert.ok(builds().length > 0, 'set TAMSEL_NATIVE or TAMSEL_EXE, or build a preset');
});

for (const build of builds()) {
  describe(`${build.name} command line`, { timeout: 120_000 }, () => {
    for (const args of [['-v'], ['--version'], ['--lan', '-v'], ['-v', '--lan'],
      ['--selftest', '-v'], ['8080', 'somedir', '-v'], ['-v', '-h']]) {
      test(`${args.join(' ')} prints only the version line and exits 0`, async () => {
        const r = await build.run(args);
        assert.equal(r.timedOut, false);
        assert.equal(r.stdout, `${VERSION_LINE}\n`);
        assert.equal(r.code, 0);
      });
    }

    for (const args of [['-h'], ['--help'], ['-n', '-h'], ['-h', '-v']]) {
      test(`${args.join(' ')} prints the usage lines and exits 0`, async () => {
        const r = await build.run(args);
        assert.equal(r.timedOut, false);
        assert.equal(r.stdout, USAGE);
        assert.equal(r.code, 0);
      });
    }

    test('--selftest serves itself twice, prints its verdict and exits 0', async () => {
      const r = await build.run(['--selftest']);
      assert.equal(r.timedOut, false);
      const got = lines(r.stdout);
      assert.equal(got.length, 9, `selftest output:\n${r.stdout}`);
      assert.equal(got[0], VERSION_LINE);
      assert.equal(got[1], RULE_LINE);
      const m = STARTED_LINE.exec(got[2]);
      assert.ok(m, `address line: ${JSON.stringify(got[2])}`);
      assert.ok(Number(m[1]) > 0 && Number(m[1]) < 65536);
      const t = TOKEN_LINE.exec(got[3]);
      assert.ok(t, `token line: ${JSON.stringify(got[3])}`);
      assert.equal(t[1], m[1]);
      assert.equal(got[4], EMBEDDED_LINE);
      // "%-12s" pads the path to twelve columns.
      const a = /^\[selftest\] GET \/index\.html  -> 200  (\d+) 字节$/.exec(got[5]);
      const b = /^\[selftest\] GET \/ {12}-> 200  (\d+) 字节$/.exec(got[6]);
      assert.ok(a, `first request line: ${JSON.stringify(got[5])}`);
      assert.ok(b, `second request line: ${JSON.stringify(got[6])}`);
      assert.equal(got[7], '[selftest] 内嵌资源 3 项');
      assert.equal(got[8], '[selftest] PASS');
      assert.equal(r.code, 0);

      // Both paths name the same embedded page, and the size printed is its
      // body alone (not the head): compare with what a server sends.
      assert.equal(a[1], b[1]);
      await withServer(build, [], async (srv) => {
        const page = await srv.get('/');
        assert.equal(page.status, 200);
        assert.equal(String(page.bytes.length), a[1]);
      });
    });

    test('no port argument serves on a system-chosen port', async () => {
      await withServer(build, [], async (srv) => {
        const port = assertStartupLines(srv.stdout());
        assert.equal(port, srv.port);
        assert.ok(port > 0 && port < 65536);
        assert.equal((await srv.get('/')).status, 200);
      });
    });

    for (const [label, args] of [['abc', ['abc']], ['0', ['0']], ['an empty argument', ['']]]) {
      test(`${label} as port behaves like no port, without a warning`, async () => {
        await withServer(build, args, async (srv) => {
          assertNoWarning(srv.stdout());
          const port = assertStartupLines(srv.stdout());
          assert.ok(port > 0 && port < 65536);
          assert.equal((await srv.get('/')).status, 200);
        });
      });
    }

    test('a requested free port is used as given', async () => {
      const port = await freePort();
      await withServer(build, [String(port)], async (srv) => {
        assertNoWarning(srv.stdout());
        assert.equal(assertStartupLines(srv.stdout()), port);
        assert.equal((await srv.get('/')).status, 200);
      });
    });

    test('a taken port prints the warning and serves on another port', async () => {
      const holder = await occupyPort(0);
      try {
        await withServer(build, [String(holder.port)], async (srv) => {
          const port = assertStartupLines(srv.stdout(), { warnPort: holder.port });
          assert.notEqual(port, holder.port);
          assert.equal(srv.port, port);
          const page = await srv.get('/');
          assert.equal(page.status, 200);
          assert.match(page.text, /<html/i);
        });
      } finally {
        await holder.close();
      }
    });

    test('--bogus is ignored and the port after it is used', async () => {
      const port = await freePort();
      await withServer(build, ['--bogus', String(port)], async (srv) => {
        assertNoWarning(srv.stdout());
        assert.equal(assertStartupLines(srv.stdout()), port);
        assert.equal((await srv.get('/')).status, 200);
      });
    });

    test('a lone "-" is ignored and does not take the port position', async () => {
      const port = await freePort();
      await withServer(build, ['-', String(port)], async (srv) => {
        assert.equal(assertStartupLines(srv.stdout()), port);
      });
    });

    test('start-up output ends with the closing hint and the server answers', async () => {
      await withServer(build, [], async (srv) => {
        assertStartupLines(srv.stdout());
        assert.ok(srv.stdout().endsWith(`${CLOSE_LINE}\n`));
        assert.equal(srv.exited(), null, 'the server keeps running after start-up');
      });
    });

    test('GET / answers 200 with the page', async () => {
      await withServer(build, [], async (srv) => {
        const r = await srv.get('/');
        assert.equal(r.status, 200);
        assert.equal(r.headers['content-type'], 'text/html; charset=utf-8');
        assert.equal(r.headers['cache-control'], 'no-cache');
        assert.equal(r.headers.connection, 'close');
        assert.equal(Number(r.headers['content-length']), r.bytes.length);
        assert.match(r.text, /^<!doctype html>/i);
        assert.match(r.text, /<\/html>\s*$/i);
        // The page of "/" is the embedded index document itself.
        const idx = await srv.get('/index.html');
        assert.equal(idx.status, 200);
        assert.deepEqual(idx.bytes, r.bytes);
      });
    });

    test('GET /api/nothing answers 404 with the JSON error', async () => {
      await withServer(build, [], async (srv) => {
        const r = await srv.get('/api/nothing');
        assert.equal(r.status, 404);
        assert.equal(r.headers['content-type'], 'application/json; charset=utf-8');
        assert.equal(r.text, NO_SUCH_API);

        // Byte-exact on the wire: status line, the four header lines in
        // their order, and the 36-byte body.
        const raw = await rawRequest(srv.port,
          `GET /api/nothing HTTP/1.1\r\nHost: 127.0.0.1\r\n${srv.tokenLine()}\r\nConnection: close\r\n\r\n`);
        assert.equal(raw.toString('utf8'),
          'HTTP/1.1 404 Not Found\r\n' +
          'Content-Type: application/json; charset=utf-8\r\n' +
          `Content-Length: ${NO_SUCH_API.length}\r\n` +
          'Cache-Control: no-cache\r\n' +
          'Connection: close\r\n\r\n' +
          NO_SUCH_API);
        assert.equal(parseResponse(raw).body.length, 36);
      });
    });

    if (build.name === 'native') {
      // The native build has a drive C: of its own, so no other instance can
      // be registered there: a start without --force-new must serve too.
      // (Under wine the prefix is shared with other runs, whose instance a
      // plain start would rightly hand over to.)
      test('a start without --force-new serves when no instance runs', async () => {
        await withServer(build, [], async (srv) => {
          assertStartupLines(srv.stdout());
          assert.equal((await srv.get('/')).status, 200);
        }, { forceNew: false });
      });
    }

    test('stop() leaves no process behind', async () => {
      const srv = await build.start([]);
      const { port, proc } = srv;
      assert.equal(await isListening(port), true);
      await srv.stop();
      assert.equal(await isListening(port), false, 'port still accepts after stop');
      // Killed processes linger as zombies until their parent (for wine's
      // helpers: init) reaps them, which happens a moment later.
      const alive = () => { try { process.kill(-proc.pid, 0); return true; } catch { return false; } };
      for (let i = 0; i < 100 && alive(); i++) await new Promise((r) => setTimeout(r, 20));
      assert.throws(() => process.kill(-proc.pid, 0), { code: 'ESRCH' },
        'a process of the group survived stop()');
    });
  });
}
