// Single instance, for every build found: the port and token files a
// serving instance writes, the hand-over of a second start to a running
// instance (which opens the browser on it with the token from the token
// file, or on the bare address when that file is unusable), and every way a
// port file can fail to name a live instance of this program (stale,
// foreign, malformed), after which a start serves on its own and rewrites
// the file.
//
// The files live in the drive's %LOCALAPPDATA%\tamsel; under wine that is
// the shared prefix, so each test saves them first and puts them back (or
// removes them) afterwards, leaving them as other test files and sessions
// expect them. The browser a hand-over opens is a fake that records the
// address it was given: natively an xdg-open first on PATH, under wine the
// command winebrowser runs (HKCU\Software\Wine\WineBrowser, Browsers).

import { describe, test, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { builds, freePort, isListening, lines, VERSION_LINE, RULE_LINE } from './harness.mjs';
import { windowsEnv, sleep } from './fixtures.mjs';

const CLOSE_RE = /\[ok\] 关闭本窗口即退出程序\n/;
const handoverLine = (port) => `[ok] 已经有实例在运行：http://127.0.0.1:${port}/`;
const PROBE_REQUEST = 'GET /api/env HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n';
const WINE_BROWSER_KEY = 'HKCU\\Software\\Wine\\WineBrowser';

// A browser that only writes down the addresses it is asked to open, one a
// line. Returns {env (for the program's run), opened() (lines so far),
// clear(), restore()}.
function fakeBrowser(build) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tamsel-bb-browser-'));
  const out = path.join(dir, 'opened.txt');
  const script = `#!/bin/sh\nprintf '%s\\n' "$*" >> '${out}'\n`;
  let restore = () => {};
  let env = {};
  if (build.name === 'native') {
    fs.writeFileSync(path.join(dir, 'xdg-open'), script, { mode: 0o755 });
    env = { PATH: `${dir}:${process.env.PATH}` };
  } else {
    fs.writeFileSync(path.join(dir, 'opener.sh'), script, { mode: 0o755 });
    const q = build.wine(['reg', 'query', WINE_BROWSER_KEY, '/v', 'Browsers']);
    const old = /Browsers\s+REG_SZ\s+(.*)\r?$/m.exec(q.stdout ?? '')?.[1];
    const set = build.wine(['reg', 'add', WINE_BROWSER_KEY, '/v', 'Browsers', '/t', 'REG_SZ', '/d',
      `/bin/sh ${dir}/opener.sh`, '/f']);
    assert.equal(set.status, 0, `reg add: ${set.stdout}${set.stderr}`);
    restore = () => {
      if (old === undefined) build.wine(['reg', 'delete', WINE_BROWSER_KEY, '/v', 'Browsers', '/f']);
      else build.wine(['reg', 'add', WINE_BROWSER_KEY, '/v', 'Browsers', '/t', 'REG_SZ', '/d', old, '/f']);
    };
  }
  const opened = () => (fs.existsSync(out) ? fs.readFileSync(out, 'utf8').split('\n').filter(Boolean) : []);
  return {
    env,
    opened,
    clear: () => fs.rmSync(out, { force: true }),
    // The browser is started after the program handed it the address and
    // may write a moment after the program has ended: wait for its line.
    async next(ms = 20_000) {
      const until = Date.now() + ms;
      while (opened().length === 0 && Date.now() < until) await sleep(50);
      return opened();
    },
    restore() {
      restore();
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
}

// A plain TCP server that answers every request with `reply` once the
// request head has arrived, and records what it was sent.
function fakeServer(reply) {
  const requests = [];
  return new Promise((resolve, reject) => {
    const srv = net.createServer((s) => {
      let got = Buffer.alloc(0);
      s.on('data', (d) => {
        got = Buffer.concat([got, d]);
        if (got.includes('\r\n\r\n')) {
          requests.push(got.toString('latin1'));
          s.end(reply);
        }
      });
      s.on('error', () => {});
    });
    srv.once('error', reject);
    srv.listen(0, '127.0.0.1', () => resolve({
      port: srv.address().port,
      requests,
      close: () => new Promise((r) => srv.close(() => r())),
    }));
  });
}

for (const build of builds()) {
  describe(`${build.name} single instance`, { timeout: 180_000 }, () => {
    const localAppData = build.hostPath(windowsEnv(build).LOCALAPPDATA);
    const portFile = `${localAppData}/tamsel/port.txt`;
    const tokenFile = `${localAppData}/tamsel/token.txt`;
    // A Windows profile always has its local application-data folder; the
    // native build's fresh drive gets one (the port file's own folder is
    // left for the program to create).
    fs.mkdirSync(localAppData, { recursive: true });
    const servers = [];
    let saved;
    let savedToken;

    const save = () => {
      saved = fs.existsSync(portFile) ? fs.readFileSync(portFile) : null;
      savedToken = fs.existsSync(tokenFile) ? fs.readFileSync(tokenFile) : null;
    };
    const readTokenFile = () => fs.readFileSync(tokenFile, 'latin1');
    const writePortFile = (content) => {
      fs.mkdirSync(portFile.slice(0, portFile.lastIndexOf('/')), { recursive: true });
      fs.writeFileSync(portFile, content);
    };
    const readPortFile = () => fs.readFileSync(portFile, 'latin1');

    // Starts a server and waits for its last start-up line, so that the
    // port file has certainly been written.
    const serve = async (args = [], opts = {}) => {
      const srv = await build.start(args, opts);
      servers.push(srv);
      await srv.waitFor(CLOSE_RE, 15_000);
      return srv;
    };

    // A second start that must hand over to `port`: banner, rule and the
    // hand-over line, exit code 0, quickly.
    const assertHandsOver = async (port) => {
      const t0 = Date.now();
      const r = await build.run(['--no-browser'], { timeout: 20_000 });
      const took = Date.now() - t0;
      assert.equal(r.timedOut, false, `still running: ${r.stdout}`);
      assert.deepEqual(lines(r.stdout), [VERSION_LINE, RULE_LINE, handoverLine(port)]);
      assert.equal(r.code, 0);
      assert.ok(took < 5000, `hand-over took ${took} ms`);
    };

    afterEach(async () => {
      for (const s of servers.splice(0)) await s.stop();
      if (saved === undefined) return;
      if (saved === null) fs.rmSync(portFile, { force: true });
      else fs.writeFileSync(portFile, saved);
      if (savedToken === null) fs.rmSync(tokenFile, { force: true });
      else fs.writeFileSync(tokenFile, savedToken);
      saved = undefined;
      savedToken = undefined;
    });

    test('a first start writes "<port>\\n"; a second start hands over; --force-new serves anew', async () => {
      save();
      fs.rmSync(portFile, { force: true });
      fs.rmSync(tokenFile, { force: true });
      const first = await serve([], { forceNew: false });
      assert.equal(readPortFile(), `${first.port}\n`);
      // The token file beside it: exactly the printed token and a line feed.
      assert.equal(readTokenFile(), `${first.token}\n`);

      await assertHandsOver(first.port);
      assert.equal(readPortFile(), `${first.port}\n`, 'a hand-over leaves the port file alone');
      assert.equal(readTokenFile(), `${first.token}\n`, 'and the token file');
      assert.equal(first.exited(), null);

      const second = await serve([]);
      assert.notEqual(second.port, first.port);
      assert.equal(readPortFile(), `${second.port}\n`, '--force-new overwrites the port file');
      assert.notEqual(second.token, first.token);
      assert.equal(readTokenFile(), `${second.token}\n`, 'and writes its own token');
      assert.equal((await second.get('/api/env')).status, 200);
      assert.equal((await first.get('/api/env')).status, 200, 'the first instance keeps serving');

      // The file now names the second instance, which is what a new start
      // finds.
      await assertHandsOver(second.port);
    });

    test('a stale port (nothing listening) does not stop a start', async () => {
      save();
      const stale = await freePort();
      writePortFile(`${stale}\n`);
      const srv = await serve([], { forceNew: false });
      assert.notEqual(srv.port, stale);
      assert.equal(readPortFile(), `${srv.port}\n`);
    });

    test('another program on the port (200 without the name) is probed once and not taken for us', async () => {
      save();
      const body = '{"ok":true,"name":"Other"}';
      const other = await fakeServer('HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n' +
        `Content-Length: ${body.length}\r\nConnection: close\r\n\r\n${body}`);
      try {
        writePortFile(`${other.port}\n`);
        const srv = await serve([], { forceNew: false });
        assert.notEqual(srv.port, other.port);
        assert.equal(readPortFile(), `${srv.port}\n`);
        // The probe: one request for the environment document, exactly.
        assert.deepEqual(other.requests, [PROBE_REQUEST]);
      } finally {
        await other.close();
      }
    });

    test('a program that answers "404" with the name is not us either', async () => {
      save();
      const other = await fakeServer('HTTP/1.1 404 Not Found\r\nConnection: close\r\n\r\nTamsel');
      try {
        writePortFile(`${other.port}\n`);
        const srv = await serve([], { forceNew: false });
        assert.equal(readPortFile(), `${srv.port}\n`);
        assert.equal(other.requests.length, 1);
      } finally {
        await other.close();
      }
    });

    test('only an environment document that names the program counts as an instance', async () => {
      // Anything else on that port never gets the hand-over (nor, from the
      // command-line clean, the access token): the start serves itself.
      save();
      for (const answer of [
        'HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nTamsel',
        'HTTP/1.1 404 Not Found\r\nConnection: close\r\n\r\n{"ok":true,"name":"Tamsel"} 200',
        'HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n{"ok":true,"name":"Tamsel-x"}',
      ]) {
        const other = await fakeServer(answer);
        try {
          writePortFile(`${other.port}\n`);
          const srv = await serve([], { forceNew: false });
          assert.notEqual(srv.port, other.port, answer);
          assert.equal(readPortFile(), `${srv.port}\n`, answer);
          await srv.stop();
        } finally {
          await other.close();
        }
      }
    });

    test('port files that name no port: the start serves and rewrites the file', async () => {
      save();
      // A live instance whose port must NOT be found in these contents.
      const live = await serve([]);
      const p = String(live.port);
      const contents = [
        '', 'abc', '0', '-5', '70000', '65536', '\n', 'abc' + p, '-' + p, ' x' + p,
        // Only the first 63 bytes count: the port starts at byte 63, so
        // what is read is its first digit alone, a port nothing listens on.
        ' '.repeat(62) + p,
        '0'.repeat(70) + '\n',
      ];
      if (!(await isListening(8080))) contents.push('8080\r\n');
      for (const c of contents) {
        writePortFile(c);
        const srv = await serve([], { forceNew: false });
        assert.notEqual(srv.port, live.port, `content ${JSON.stringify(c)}`);
        assert.equal(readPortFile(), `${srv.port}\n`, `content ${JSON.stringify(c)} is rewritten`);
        await srv.stop();
      }
      assert.equal(live.exited(), null);
    });

    test('port files that do name a live instance in other spellings: hand-over', async () => {
      save();
      const live = await serve([]);
      const p = String(live.port);
      // No line feed, CR LF, leading blanks, trailing text, longer than 63
      // bytes with the digits up front.
      for (const c of [p, `${p}\r\n`, `  ${p}\n`, `\t+${p}xyz`, `${p}${'x'.repeat(100)}`]) {
        writePortFile(c);
        await assertHandsOver(live.port);
        assert.equal(readPortFile(), c, 'a hand-over does not rewrite the file');
      }
    });

    test('a second start opens the browser on the running instance with its token', async () => {
      save();
      const browser = fakeBrowser(build);
      try {
        const live = await serve([], { forceNew: false });
        const r = await build.run([], { timeout: 20_000, env: browser.env });
        assert.equal(r.timedOut, false, `still running: ${r.stdout}`);
        // The console shows the bare address; only the browser gets the token.
        assert.deepEqual(lines(r.stdout), [VERSION_LINE, RULE_LINE, handoverLine(live.port)]);
        assert.equal(r.code, 0);
        assert.deepEqual(await browser.next(),
          [`http://127.0.0.1:${live.port}/#token=${live.token}`]);
        // That address is the working one: its token opens the API.
        assert.equal((await live.get('/api/status', { token: live.token })).status, 200);
      } finally {
        browser.restore();
      }
    });

    test('a token file that is missing, empty, too long or not hex: the bare address opens', async () => {
      save();
      const browser = fakeBrowser(build);
      try {
        const live = await serve([], { forceNew: false });
        const t = live.token;
        const contents = [null, '', '\n', t, `${t}\r\n`, `${t}\n\n`, `${t}${t}\n`, 'a'.repeat(10240),
          `${t.toUpperCase()}\n`, `${t.slice(1)}g\n`, `${t.slice(1)}\n`, ` ${t.slice(1)}\n`];
        for (const c of contents) {
          if (c === null) fs.rmSync(tokenFile, { force: true });
          else fs.writeFileSync(tokenFile, c);
          browser.clear();
          const label = JSON.stringify(c?.slice(0, 40) ?? 'missing');
          const r = await build.run([], { timeout: 20_000, env: browser.env });
          assert.equal(r.timedOut, false, label);
          assert.deepEqual(lines(r.stdout), [VERSION_LINE, RULE_LINE, handoverLine(live.port)], label);
          assert.equal(r.code, 0, label);
          assert.deepEqual(await browser.next(), [`http://127.0.0.1:${live.port}/`], label);
        }
        assert.equal(live.exited(), null);
      } finally {
        browser.restore();
      }
    });

    test('--selftest ignores the port file of a live instance and leaves its port and token files alone', async () => {
      save();
      const live = await serve([]);
      writePortFile(`${live.port}\n`);
      const portBefore = readPortFile();
      const tokenBefore = readTokenFile();
      const r = await build.run(['--selftest'], { timeout: 30_000 });
      assert.equal(r.timedOut, false);
      assert.equal(r.code, 0);
      const got = lines(r.stdout);
      assert.ok(!r.stdout.includes('已经有实例在运行'), r.stdout);
      assert.equal(got.at(-1), '[selftest] PASS', r.stdout);
      const m = /^\[ok\] 服务已启动：http:\/\/127\.0\.0\.1:(\d+)\/$/.exec(got[2]);
      assert.ok(m, r.stdout);
      assert.notEqual(Number(m[1]), live.port);
      // Its own server ended with it: the files still lead to the live instance.
      assert.equal(readPortFile(), portBefore);
      assert.equal(readTokenFile(), tokenBefore);
      assert.equal(readTokenFile(), `${live.token}\n`);
      // And a second start still hands over to it.
      const second = await build.run(['--no-browser'], { timeout: 20_000 });
      assert.ok(second.stdout.includes('已经有实例在运行'), second.stdout);
      assert.equal(live.exited(), null);
    });
  });
}
