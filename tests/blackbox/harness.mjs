// Shared machinery for the black-box tests: finds the builds to test, runs
// them to completion or as servers, and talks HTTP to them.
//
// Both builds look the same to a test: a `build` object knows where its
// drive C: lives on the host, how to translate paths between the host and
// the Windows view, and how to start the program. Native runs over a fresh
// temporary TAMSEL_ROOT (drive C: is <root>/c); the .exe runs under wine in
// the same prefix the unit tests use (build/windows/wineprefix unless
// TAMSEL_WINEPREFIX names another).
//
// The .exe is started by wine64 directly, with exactly the environment that
// cmake/wine-run.sh sets, instead of through that wrapper: the wrapper pipes
// the program through `tr`, which buffers everything until the program
// exits, so a server's start-up lines would never arrive. The wrapper is
// still what creates the prefix. A GUI-subsystem program writes "\n" as
// "\r\n"; the harness turns each "\r\n" back into "\n" (and only those, so
// a stray carriage return of the program's own stays visible).
//
// Every child is spawned in a process group of its own so that stop() and
// the exit handler can kill the whole group, whatever helpers it started.

import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { requireBuild, WINE_BIN } from '../support/builds.mjs';

const HERE = path.dirname(fileURLToPath(import.meta.url));
export const REPO = path.resolve(HERE, '../..');
const WINE_RUN = path.join(REPO, 'cmake', 'wine-run.sh');
const WINESERVER_BIN = '/usr/lib/wine/wineserver';

// Seconds a persistent wineserver outlives its last client. Long enough to
// bridge the gaps between tests and between test files (each file runs in
// its own node process), short enough that nothing lingers after the run,
// so no `wineserver -k` is needed (which would also kill wine processes of
// anyone else sharing the prefix, such as a concurrent ctest).
const WINESERVER_PERSIST_S = 30;

// The program's version, read from the one place it is set: project() in
// CMakeLists.txt (the build writes it into the program from there).
export const VERSION = (() => {
  const m = fs.readFileSync(path.join(REPO, 'CMakeLists.txt'), 'utf8')
    .match(/^project\(tamsel VERSION (\d+\.\d+\.\d+)[ )]/m);
  if (!m) throw new Error('CMakeLists.txt: no "project(tamsel VERSION x.y.z" line');
  return m[1];
})();
export const VERSION_LINE = `Tamsel ${VERSION}`;
export const RULE_LINE = '-'.repeat(44);
export const START_RE = /\[ok\] 服务已启动：http:\/\/127\.0\.0\.1:(\d+)\/\n/;
export const HANDOVER_RE = /\[ok\] 已经有实例在运行[^\n]*\n/;
// The line after the address line: the address with the per-run access
// token, which every API request but /api/env must carry.
export const TOKEN_RE = /\[ok\] 本机访问地址（含访问令牌）：http:\/\/127\.0\.0\.1:(\d+)\/#token=([0-9a-f]{32})\n/;
export const TOKEN_HEADER = 'X-Tamsel-Token';

const DEFAULT_RUN_TIMEOUT_MS = 30_000;
const DEFAULT_START_TIMEOUT_MS = 30_000;

// Every live child, so that a crashing or interrupted test file still
// leaves no process and no temporary drive behind. 'exit' does not run when
// a signal ends node (the runner's time-out, a CI cancel, Ctrl-C), hence
// the signal handlers.
const live = new Set();
const tempDirs = new Set();
function cleanUp() {
  for (const child of live) killGroup(child);
  live.clear();
  for (const dir of tempDirs) {
    try { fs.rmSync(dir, { recursive: true, force: true }); } catch { /* best effort */ }
  }
  tempDirs.clear();
}
process.on('exit', cleanUp);
for (const [sig, n] of [['SIGINT', 2], ['SIGTERM', 15], ['SIGHUP', 1]]) {
  process.once(sig, () => { cleanUp(); process.exit(128 + n); });
}

export function killGroup(child, signal = 'SIGKILL') {
  if (child.pid === undefined) return;
  try { process.kill(-child.pid, signal); } catch { /* already gone */ }
}

// Windows environment variables the POSIX stand-in would take from the real
// environment: removed so that native runs see the defaults of a standard
// installation for the current user, whatever the CI machine exports.
const WINDOWS_ENV = [
  'SystemDrive', 'SystemRoot', 'windir', 'ProgramFiles', 'ProgramFiles(x86)',
  'ProgramW6432', 'ProgramData', 'USERPROFILE', 'APPDATA', 'LOCALAPPDATA',
  'TEMP', 'TMP', 'PUBLIC',
];

function nativeEnv(root, extra) {
  const env = { ...process.env };
  for (const name of Object.keys(env)) {
    if (WINDOWS_ENV.some((w) => w.toLowerCase() === name.toLowerCase())) delete env[name];
  }
  env.TAMSEL_ROOT = root;
  return { ...env, ...extra };
}

// The folder the wrapper uses as prefix: $TAMSEL_WINEPREFIX, else
// "wineprefix" in the nearest folder above the exe that holds a
// CMakeCache.txt (the same rule as wine-run.sh, so ctest and these tests
// share one prefix).
function winePrefixFor(exe) {
  if (process.env.TAMSEL_WINEPREFIX) return path.resolve(process.env.TAMSEL_WINEPREFIX);
  const exeDir = path.dirname(path.resolve(exe));
  let dir = exeDir;
  while (dir !== '/' && !fs.existsSync(path.join(dir, 'CMakeCache.txt'))) dir = path.dirname(dir);
  if (dir === '/') dir = exeDir;
  return path.join(dir, 'wineprefix');
}

// What cmake/wine-run.sh exports for a run in `prefix`; kept in step with
// it so that direct wine64 runs and ctest's runs share one wine setup.
function wineEnv(prefix, extra) {
  const home = `${prefix}.home`;
  const env = {
    ...process.env,
    TAMSEL_WINEPREFIX: prefix,
    WINEPREFIX: prefix,
    WINEDEBUG: '-all',
    LANG: 'C.UTF-8',
    LC_ALL: 'C.UTF-8',
    WINEDLLOVERRIDES: 'mscoree,mshtml=;winemenubuilder.exe=d',
    HOME: home,
    XDG_DATA_HOME: path.join(home, 'data'),
  };
  delete env.DISPLAY;
  delete env.WAYLAND_DISPLAY;
  return { ...env, ...extra };
}

// Creates the prefix if needed (about 10 s the first time), leaves a
// persistent wineserver running for it (with a warm server a start costs
// about 0.05 s instead of 0.5 s; if one is already running the command
// fails harmlessly) and boots the prefix's system services.
//
// The boot matters for more than speed: the first Windows process of a
// session starts services.exe and friends, they inherit its standard
// handles, and the wineserver keeps those pipes open for as long as the
// services live (the whole persistence time). A test run that happened to
// be first would then never see end-of-file on its stdout or stderr. So
// the services are started here by a process whose stdio is /dev/null.
//
// A server that is running already but is not persistent (one that an
// earlier wine run started, lingering for its last seconds) would exit
// under us and the next test would start services from its own pipes
// again; so the harness waits for such a server to end and starts a
// persistent one. A persistent one (ours from an earlier test file, or
// anyone's) is used as it is.
const preparedPrefixes = new Set();
function prepareWine(exe, prefix) {
  if (preparedPrefixes.has(prefix)) return;
  preparedPrefixes.add(prefix);
  const opts = { env: wineEnv(prefix), stdio: 'ignore', timeout: 300_000 };
  if (!fs.existsSync(path.join(prefix, '.tamsel-ready'))) {
    // The wrapper builds the prefix under its lock and waits for wine to
    // settle; the program's own output does not matter here.
    spawnSync('bash', [WINE_RUN, exe, '--version'], opts);
  }
  const serverOpts = {
    env: { ...process.env, WINEPREFIX: prefix, WINEDEBUG: '-all' },
    stdio: 'ignore', timeout: 30_000,
  };
  for (let attempt = 0; attempt < 3; attempt++) {
    const state = wineserverState(prefix);
    if (state === 'persistent') break;
    if (state === 'lingering') spawnSync(WINESERVER_BIN, ['-w'], { ...serverOpts, timeout: 15_000 });
    if (spawnSync(WINESERVER_BIN, [`-p${WINESERVER_PERSIST_S}`], serverOpts).status === 0) break;
  }
  fs.mkdirSync(opts.env.XDG_DATA_HOME, { recursive: true });
  // The second drive D: of cmake/wine-run.sh, for a prefix made before it had one.
  fs.mkdirSync(path.join(prefix, 'drive_d'), { recursive: true });
  const dLink = path.join(prefix, 'dosdevices', 'd:');
  try { fs.lstatSync(dLink); } catch { fs.symlinkSync('../drive_d', dLink); }
  spawnSync(WINE_BIN, ['wineboot'], opts);
}

// 'none', 'lingering' or 'persistent': the wineserver of `prefix`, found
// through /proc. A wineserver works in a directory named after the device
// and inode of its prefix ("server-<dev>-<ino>" in hex), which identifies
// the prefix however its path is spelled; its persistence is the last -p
// option on its command line (none or -p0: it exits seconds after its last
// client). 'unknown' when /proc cannot tell.
export function wineserverState(prefix) {
  let want;
  try {
    const st = fs.statSync(prefix, { bigint: true });
    want = `server-${st.dev.toString(16)}-${st.ino.toString(16)}`;
  } catch { return 'unknown'; }
  let pids;
  try { pids = fs.readdirSync('/proc').filter((n) => /^\d+$/.test(n)); } catch { return 'unknown'; }
  for (const pid of pids) {
    try {
      if (!fs.readFileSync(`/proc/${pid}/comm`, 'utf8').startsWith('wineserver')) continue;
      if (path.basename(fs.readlinkSync(`/proc/${pid}/cwd`)) !== want) continue;
      const argv = fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').split('\0');
      let persist = 0;
      for (const a of argv) {
        const m = /^(?:-p|--persistent=?)(\d*)$/.exec(a);
        if (m) persist = m[1] === '' ? Infinity : Number(m[1]);
      }
      return persist > 0 ? 'persistent' : 'lingering';
    } catch { /* a process that ended meanwhile, or not ours to read */ }
  }
  return 'none';
}

function toWin(driveC, hostPath) {
  const rel = path.relative(driveC, path.resolve(hostPath));
  if (rel.startsWith('..') || path.isAbsolute(rel)) {
    throw new Error(`${hostPath} is not on drive C: (${driveC})`);
  }
  return rel === '' ? 'C:\\' : 'C:\\' + rel.split(path.sep).join('\\');
}

function toHost(driveC, winPath) {
  const m = /^[cC]:(?:[\\/](.*))?$/.exec(winPath);
  if (!m) throw new Error(`${winPath} is not a path on drive C:`);
  const parts = (m[1] ?? '').split(/[\\/]+/).filter(Boolean);
  return path.join(driveC, ...parts);
}

function makeBuild(name, def) {
  const { driveC, userProfile, command, env, setup } = def;
  const normalize = def.normalize ?? ((t) => t);
  const build = {
    name,
    driveC,
    userProfile,
    winPath: (hostPath) => toWin(driveC, hostPath),
    hostPath: (winPath) => toHost(driveC, winPath),

    // Runs the program to completion. Resolves with {code, signal, stdout,
    // stderr, timedOut}; a run that outlives the time-out is killed (whole
    // group) and reported with timedOut true rather than rejected, so that
    // a test can assert on what was printed before the hang.
    run(args = [], opts = {}) {
      setup?.();
      const [file, argv] = command(args);
      const timeoutMs = opts.timeout ?? DEFAULT_RUN_TIMEOUT_MS;
      return new Promise((resolve, reject) => {
        const child = spawn(file, argv, {
          env: env(opts.env), cwd: opts.cwd, detached: true,
          stdio: ['ignore', 'pipe', 'pipe'],
        });
        live.add(child);
        const out = []; const err = [];
        child.stdout.on('data', (d) => out.push(d));
        child.stderr.on('data', (d) => err.push(d));
        let timedOut = false;
        const timer = setTimeout(() => { timedOut = true; killGroup(child); }, timeoutMs);
        child.on('error', (e) => { clearTimeout(timer); live.delete(child); reject(e); });
        child.on('close', (code, signal) => {
          clearTimeout(timer);
          live.delete(child);
          const rawStdout = Buffer.concat(out).toString('utf8');
          resolve({
            code, signal, timedOut,
            stdout: normalize(rawStdout),
            rawStdout,
            stderr: Buffer.concat(err).toString('utf8'),
          });
        });
      });
    },

    // Starts the program as a server and resolves once it has printed the
    // line with its address. `--no-browser` is added unless opts.browser is
    // true, and `--force-new` unless opts.forceNew is false: the wine prefix
    // is shared with other runs (ctest, other test sessions), and a plain
    // start would hand over to whatever instance one of them left in the
    // port file instead of serving. Rejects (after killing the child) when
    // the program exits first, hands over to another instance, or stays
    // silent past the time-out.
    start(args = [], opts = {}) {
      setup?.();
      const full = [...args];
      if (!opts.browser) full.push('--no-browser');
      if (opts.forceNew !== false) full.push('--force-new');
      const [file, argv] = command(full);
      const timeoutMs = opts.timeout ?? DEFAULT_START_TIMEOUT_MS;
      const child = spawn(file, argv, {
        env: env(opts.env), cwd: opts.cwd, detached: true,
        stdio: ['ignore', 'pipe', 'pipe'],
      });
      live.add(child);
      const out = []; const err = [];
      let exited = null;
      const waiters = new Set();
      const rawText = () => Buffer.concat(out).toString('utf8');
      const text = () => normalize(rawText());
      const wake = () => { for (const w of [...waiters]) w(); };
      child.stdout.on('data', (d) => { out.push(d); wake(); });
      child.stderr.on('data', (d) => { err.push(d); });
      const closed = new Promise((resolve) => {
        child.on('close', (code, signal) => {
          exited = { code, signal };
          live.delete(child);
          wake();
          resolve(exited);
        });
      });
      child.on('error', () => { exited = exited ?? { code: null, signal: null, error: true }; wake(); });

      // Resolves with the match once stdout matches `re`; rejects when the
      // process ends without it, when stdout matches `failOn` first, or when
      // the time-out passes.
      const waitFor = (re, ms = timeoutMs, failOn = null) => new Promise((resolve, reject) => {
        let timer;
        const check = () => {
          const m = re.exec(text());
          if (m) { done(); resolve(m); return; }
          const f = failOn?.exec(text());
          if (f) {
            done();
            reject(new Error(`${name}: printed ${JSON.stringify(f[0])} while waiting for ${re}\n` +
              `stdout:\n${text()}`));
            return;
          }
          if (exited) {
            done();
            reject(new Error(`${name}: process ended (${JSON.stringify(exited)}) before ${re}\n` +
              `stdout:\n${text()}\nstderr:\n${Buffer.concat(err).toString('utf8')}`));
          }
        };
        const done = () => { clearTimeout(timer); waiters.delete(check); };
        timer = setTimeout(() => {
          done();
          reject(new Error(`${name}: no ${re} within ${ms} ms\nstdout:\n${text()}`));
        }, ms);
        waiters.add(check);
        check();
      });

      let stopped = null;
      const server = {
        proc: child,
        port: 0,
        url: '',
        stdout: text,
        rawStdout: rawText,
        stderr: () => Buffer.concat(err).toString('utf8'),
        exited: () => exited,
        waitFor,
        token: '',
        // The head line that carries the token, for raw requests.
        tokenLine: () => `${TOKEN_HEADER}: ${server.token}`,
        // fetch with the token, as the page sends it; opts.token replaces
        // it, and opts.token null sends none.
        get: (p, o = {}) => get(new URL(p, server.url).href, withToken(server, o)),
        post: (p, body, o = {}) => post(new URL(p, server.url).href, body, withToken(server, o)),
        raw: (bytes, o) => rawRequest(server.port, bytes, o),
        // Kills the whole process group and waits until every pipe is
        // closed, i.e. until the wrapper, wine and tr are all gone.
        stop() {
          if (!stopped) {
            killGroup(child);
            stopped = Promise.race([
              closed,
              new Promise((r) => {
                setTimeout(() => r({ code: null, signal: 'stop-timeout' }), 10_000).unref();
              }),
            ]);
          }
          return stopped;
        },
      };

      return (async () => {
        try {
          // A hand-over to another instance would make every later request
          // go to the wrong process: fail at once instead.
          const m = await waitFor(START_RE, timeoutMs, HANDOVER_RE);
          server.port = Number(m[1]);
          server.url = `http://127.0.0.1:${server.port}/`;
          // The token line follows the address line at once.
          const t = await waitFor(TOKEN_RE, timeoutMs);
          if (Number(t[1]) !== server.port) {
            throw new Error(`${name}: token line names port ${t[1]}, address line ${server.port}`);
          }
          server.token = t[2];
          return server;
        } catch (e) {
          await server.stop();
          throw e;
        }
      })();
    },
  };
  return build;
}

function nativeBuild(binary) {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'tamsel-bb-'));
  tempDirs.add(root);
  const driveC = path.join(root, 'c');
  fs.mkdirSync(driveC);
  const b = makeBuild('native', {
    driveC,
    userProfile: `C:\\Users\\${os.userInfo().username}`,
    command: (args) => [binary, args],
    env: (extra) => nativeEnv(root, extra),
  });
  b.root = root;
  b.driveD = path.join(root, 'd');
  b.binary = binary;
  b.spawnOther = (other, args = []) => spawnLive(other, args, nativeEnv(root));
  return b;
}

// Starts another program of the build (a test helper) in the build's
// machine, its output piped; ended with every other process at exit.
function spawnLive(file, argv, env) {
  const child = spawn(file, argv, { env, detached: true, stdio: ['ignore', 'pipe', 'pipe'] });
  live.add(child);
  child.on('close', () => live.delete(child));
  return child;
}

function windowsBuild(exe) {
  const prefix = winePrefixFor(exe);
  const b = makeBuild('windows', {
    driveC: path.join(prefix, 'drive_c'),
    userProfile: `C:\\users\\${os.userInfo().username}`,
    command: (args) => [WINE_BIN, [exe, ...args]],
    env: (extra) => wineEnv(prefix, extra),
    normalize: (t) => t.replace(/\r\n/g, '\n'),
    setup: () => prepareWine(exe, prefix),
  });
  b.prefix = prefix;
  b.driveD = path.join(prefix, 'drive_d');
  b.binary = exe;
  b.spawnOther = (other, args = []) => {
    prepareWine(exe, prefix);
    return spawnLive(WINE_BIN, [other, ...args], wineEnv(prefix));
  };
  // Runs a wine program (such as "reg") in the prefix, to completion.
  b.wine = (args, timeout = 60_000) => spawnSync(WINE_BIN, args, {
    env: wineEnv(prefix), encoding: 'utf8', timeout, stdio: ['ignore', 'pipe', 'pipe'],
  });
  return b;
}

let cachedBuilds = null;
// The builds to test. TAMSEL_NATIVE and TAMSEL_EXE name the binaries
// (defaults: the preset build folders). Every build is required: a missing
// binary (or wine, for the .exe) is a failing test of the file that asked,
// and TAMSEL_BUILDS=native|windows leaves a build out on purpose, shown as
// a skip (see tests/support/builds.mjs).
export function builds() {
  if (cachedBuilds) return cachedBuilds;
  const list = [];
  // A path given in the environment is taken relative to the working
  // directory, as a shell user expects; the defaults relative to this file.
  const nativeBin = process.env.TAMSEL_NATIVE
    ? path.resolve(process.env.TAMSEL_NATIVE) : path.resolve(HERE, '../../build/native/tamsel');
  const exe = process.env.TAMSEL_EXE
    ? path.resolve(process.env.TAMSEL_EXE) : path.resolve(HERE, '../../build/windows/tamsel.exe');
  if (requireBuild('native', nativeBin, 'builds under test')) list.push(nativeBuild(nativeBin));
  if (requireBuild('windows', exe, 'builds under test')) list.push(windowsBuild(exe));
  cachedBuilds = list;
  return list;
}

// ---- HTTP -----------------------------------------------------------------

// Request options with the server's token header added (see server.get).
function withToken(server, opts) {
  if (opts.token === null) return opts;
  const token = opts.token ?? server.token;
  return { ...opts, headers: { [TOKEN_HEADER]: token, ...opts.headers } };
}

async function wrapResponse(res) {
  const bytes = Buffer.from(await res.arrayBuffer());
  const text = bytes.toString('utf8');
  let json;
  try { json = JSON.parse(text); } catch { json = undefined; }
  const headers = Object.fromEntries([...res.headers].map(([k, v]) => [k.toLowerCase(), v]));
  return { status: res.status, statusText: res.statusText, headers, bytes, text, json };
}

// GET through fetch. Resolves with {status, statusText, headers (lower-case
// names), bytes, text, json (undefined unless the body parses)}.
export async function get(url, opts = {}) {
  const res = await fetch(url, {
    method: opts.method ?? 'GET',
    headers: opts.headers,
    signal: AbortSignal.timeout(opts.timeout ?? 15_000),
  });
  return wrapResponse(res);
}

// POST through fetch. An object body is sent as JSON; a string or Buffer as
// it is.
export async function post(url, body = '', opts = {}) {
  const isRaw = typeof body === 'string' || Buffer.isBuffer(body) || body instanceof Uint8Array;
  const headers = { ...(isRaw ? {} : { 'Content-Type': 'application/json' }), ...opts.headers };
  const res = await fetch(url, {
    method: 'POST',
    headers,
    body: isRaw ? body : JSON.stringify(body),
    signal: AbortSignal.timeout(opts.timeout ?? 15_000),
  });
  return wrapResponse(res);
}

// Sends `bytes` as they are on a fresh connection to 127.0.0.1:port and
// resolves with every byte received until the server closes the connection
// (a reset after the answer counts as a close). opts.end half-closes the
// sending side after writing; opts.timeout rejects a connection that stays
// open too long (the server itself gives up on a silent client after 5 s).
export function rawRequest(port, bytes, opts = {}) {
  const timeoutMs = opts.timeout ?? 15_000;
  return new Promise((resolve, reject) => {
    const chunks = [];
    const sock = net.connect({ host: opts.host ?? '127.0.0.1', port });
    const timer = setTimeout(() => {
      sock.destroy();
      reject(new Error(`rawRequest: connection to port ${port} still open after ${timeoutMs} ms ` +
        `(${Buffer.concat(chunks).length} bytes received)`));
    }, timeoutMs);
    sock.on('connect', () => {
      sock.write(Buffer.isBuffer(bytes) ? bytes : Buffer.from(bytes, 'utf8'));
      if (opts.end) sock.end();
    });
    sock.on('data', (d) => chunks.push(d));
    sock.on('error', (e) => {
      clearTimeout(timer);
      if (e.code === 'ECONNRESET' || e.code === 'EPIPE') resolve(Buffer.concat(chunks));
      else reject(e);
    });
    sock.on('close', () => { clearTimeout(timer); resolve(Buffer.concat(chunks)); });
  });
}

// Splits a raw HTTP response into its parts: {head (text before the blank
// line), statusLine, status, headerLines, headers (lower-case names), body
// (Buffer)}. Returns null when there is no blank line.
export function parseResponse(buf) {
  const at = buf.indexOf('\r\n\r\n');
  if (at < 0) return null;
  const head = buf.subarray(0, at).toString('latin1');
  const [statusLine, ...headerLines] = head.split('\r\n');
  const headers = {};
  for (const line of headerLines) {
    const c = line.indexOf(':');
    if (c > 0) headers[line.slice(0, c).trim().toLowerCase()] = line.slice(c + 1).trim();
  }
  const status = Number(/^HTTP\/1\.1 (\d{3}) /.exec(statusLine)?.[1] ?? NaN);
  return { head, statusLine, status, headerLines, headers, body: buf.subarray(at + 4) };
}

// ---- ports ----------------------------------------------------------------

// Holds a port on 127.0.0.1 with a plain node server; resolves with
// {port, close()}. With port 0 the system picks one.
export function occupyPort(port = 0, host = '127.0.0.1') {
  return new Promise((resolve, reject) => {
    const srv = net.createServer((s) => s.destroy());
    srv.once('error', reject);
    srv.listen({ port, host, exclusive: true }, () => {
      resolve({
        port: srv.address().port,
        close: () => new Promise((r) => srv.close(() => r())),
      });
    });
  });
}

// A port that was free a moment ago (bound and released at once).
export async function freePort() {
  const h = await occupyPort(0);
  await h.close();
  return h.port;
}

// True when something accepts connections on 127.0.0.1:port.
export function isListening(port) {
  return new Promise((resolve) => {
    const s = net.connect({ host: '127.0.0.1', port });
    const t = setTimeout(() => { s.destroy(); resolve(false); }, 3000);
    s.on('connect', () => { clearTimeout(t); s.destroy(); resolve(true); });
    s.on('error', () => { clearTimeout(t); resolve(false); });
  });
}

export function lines(text) {
  const l = text.split('\n');
  if (l.at(-1) === '') l.pop();
  return l;
}

// A build object for another binary of the same kind, such as the variant
// whose web service points at a local test service. Null when the build is
// left out by TAMSEL_BUILDS or missing; a missing one is also a failing
// test named `label` (see requireBuild).
export function buildOf(kind, binary, label = path.basename(path.dirname(binary))) {
  if (!requireBuild(kind, binary, label)) return null;
  return kind === 'native' ? nativeBuild(binary) : windowsBuild(binary);
}
