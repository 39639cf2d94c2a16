// Shared machinery of the browser tests: starts the real program (native
// over a temporary drive, or tamsel.exe under wine), drives Debian's
// chromium through playwright-core, builds and lists fixture trees, and
// writes screenshots.
//
// Every program is spawned in a process group of its own so that stopping
// it (or a crashing test file) kills the whole group: under wine the group
// holds the wrapper shell, wine and the `tr` that strips carriage returns.

import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';
import { WINE_BIN } from '../support/builds.mjs';

const HERE = path.dirname(fileURLToPath(import.meta.url));
export const REPO = path.resolve(HERE, '../..');
export const NATIVE_BIN = path.resolve(REPO, process.env.TAMSEL_NATIVE || 'build/native/tamsel');
export const WINDOWS_EXE = path.resolve(REPO, process.env.TAMSEL_EXE || 'build/windows/tamsel.exe');
export const WINE_RUN = path.join(REPO, 'cmake', 'wine-run.sh');
export { WINE_BIN };
export const CHROMIUM = process.env.TAMSEL_CHROMIUM || '/usr/bin/chromium';
export const SHOTS = path.join(REPO, 'build', 'screenshots');
export const WEBUI = path.join(REPO, 'webui');
// The page's script as the native build bundled it from webui/src.
export const WEBUI_BUNDLE = path.join(path.dirname(NATIVE_BIN), 'generated', 'webui', 'app.js');
export const USER = os.userInfo().username;

const START_RE = /\[ok\] 服务已启动：http:\/\/127\.0\.0\.1:(\d+)\/\n/;
// The line right after it: the address with the per-run access token, as
// the program opens it in the browser.
const TOKEN_RE = /\[ok\] 本机访问地址（含访问令牌）：(http:\/\/127\.0\.0\.1:(\d+)\/#token=([0-9a-f]{32}))\n/;
export const TOKEN_HEADER = 'X-Tamsel-Token';

const live = new Set();
const temps = new Set();
const contexts = new Set();
process.on('exit', () => {
  for (const child of live) killGroup(child);
  for (const dir of temps) {
    try { fs.rmSync(dir, { recursive: true, force: true }); } catch { /* best effort */ }
  }
});

function killGroup(child, signal = 'SIGKILL') {
  if (child.pid === undefined) return;
  try { process.kill(-child.pid, signal); } catch { /* already gone */ }
}

export function tempDir(prefix) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  temps.add(dir);
  return dir;
}

// Windows variables the stand-in would take from the real environment:
// removed so that native runs see a standard installation for this user.
const WINDOWS_ENV = new Set([
  'systemdrive', 'systemroot', 'windir', 'programfiles', 'programfiles(x86)',
  'programw6432', 'programdata', 'userprofile', 'appdata', 'localappdata',
  'temp', 'tmp', 'public',
]);

// Starts a program and resolves once it printed its address and its token.
// `command` is [file, args]. Carriage returns (a Windows program's line
// ends) are dropped. Resolves with {url (bare), token, pageUrl (the address
// with the token, as the program opens it), port, proc, closed, exited(),
// stop(), output(), api(path, init) (fetch with the token)}.
function startServer(command, env, timeoutMs) {
  const [file, args] = command;
  const child = spawn(file, args, { env, detached: true, stdio: ['ignore', 'pipe', 'pipe'] });
  live.add(child);
  let out = '';
  let exit = null;
  let started = false;
  const closed = new Promise((resolve) => {
    child.on('close', (code, signal) => { exit = { code, signal }; live.delete(child); resolve(exit); });
  });
  child.stderr.on('data', (d) => { out += d.toString('utf8'); });
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      killGroup(child);
      reject(new Error(`no start line within ${timeoutMs} ms:\n${out}`));
    }, timeoutMs);
    child.stdout.on('data', (d) => {
      out += d.toString('utf8').replace(/\r/g, '');
      const m = START_RE.exec(out);
      const t = TOKEN_RE.exec(out);
      if (!m || !t || started) return;
      started = true;
      clearTimeout(timer);
      const port = Number(m[1]);
      if (Number(t[2]) !== port) {
        killGroup(child);
        reject(new Error(`token line names port ${t[2]}, address line ${port}`));
        return;
      }
      const url = `http://127.0.0.1:${port}/`;
      const token = t[3];
      resolve({
        port,
        url,
        token,
        pageUrl: t[1],
        api: (p, init = {}) => fetch(url + p.replace(/^\//, ''), {
          ...init,
          headers: { [TOKEN_HEADER]: token, ...init.headers },
          signal: init.signal ?? AbortSignal.timeout(15_000),
        }),
        proc: child,
        output: () => out,
        exited: () => exit,
        closed,
        async stop() {
          killGroup(child);
          await Promise.race([closed, new Promise((r) => setTimeout(r, 10_000).unref())]);
        },
      });
    });
    child.on('error', (e) => { clearTimeout(timer); reject(e); });
    closed.then((e) => {
      clearTimeout(timer);
      if (!started) reject(new Error(`program ended (${JSON.stringify(e)}) before it listened:\n${out}`));
    });
  });
}

// The native build over a fresh temporary root; drive C: is <root>/c.
export async function startNative(root) {
  const env = {};
  for (const [k, v] of Object.entries(process.env)) if (!WINDOWS_ENV.has(k.toLowerCase())) env[k] = v;
  env.TAMSEL_ROOT = root;
  return startServer([NATIVE_BIN, ['0', '--no-browser']], env, 30_000);
}

// tamsel.exe under wine in the build's prefix. The wrapper makes the prefix
// on first use; the program itself is run by wine directly, with the
// wrapper's environment, because the wrapper's `tr` holds back the start
// line in its output buffer. --force-new: another instance in the same
// prefix must not get this test's page.
export async function startWine() {
  const prefix = winePrefix();
  const wrapper = fs.readFileSync(WINE_RUN, 'utf8');
  const prepare = wrapper.includes('--prepare') ? ['--prepare', WINDOWS_EXE] : [WINDOWS_EXE, '--version'];
  spawnSync('bash', [WINE_RUN, ...prepare], {
    env: { ...process.env, TAMSEL_WINEPREFIX: prefix }, stdio: 'ignore', timeout: 300_000,
  });
  const env = { ...process.env };
  delete env.DISPLAY;
  delete env.WAYLAND_DISPLAY;
  Object.assign(env, {
    WINEPREFIX: prefix,
    WINEDEBUG: '-all',
    LANG: 'C.UTF-8',
    LC_ALL: 'C.UTF-8',
    WINEDLLOVERRIDES: 'mscoree,mshtml=;winemenubuilder.exe=d',
    HOME: `${prefix}.home`,
    XDG_DATA_HOME: `${prefix}.home/data`,
  });
  fs.mkdirSync(env.XDG_DATA_HOME, { recursive: true });
  return startServer([WINE_BIN, [WINDOWS_EXE, '0', '--no-browser', '--force-new']], env, 120_000);
}

export function winePrefix() {
  return process.env.TAMSEL_WINEPREFIX
    ? path.resolve(process.env.TAMSEL_WINEPREFIX)
    : path.join(path.dirname(WINDOWS_EXE), 'wineprefix');
}

// A fresh chromium with its own empty profile. opts: viewport (CSS pixels),
// deviceScaleFactor (1.5: a screen scaled to 150 %), colorScheme,
// timezoneId. Resolves with {context, page}.
export async function openBrowser(opts = {}) {
  const userDataDir = tempDir('tamsel-chromium-');
  const context = await chromium.launchPersistentContext(userDataDir, {
    executablePath: CHROMIUM,
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    viewport: opts.viewport ?? { width: 1280, height: 900 },
    deviceScaleFactor: opts.deviceScaleFactor ?? 1,
    colorScheme: opts.colorScheme ?? 'light',
    timezoneId: opts.timezoneId ?? 'Asia/Shanghai',
    locale: 'zh-CN',
  });
  contexts.add(context);
  const page = context.pages()[0] ?? await context.newPage();
  page.errors = [];
  page.on('pageerror', (e) => page.errors.push(e.message));
  return { context, page };
}

export async function closeBrowser(context) {
  contexts.delete(context);
  await context.close().catch(() => {});
}

export async function shot(page, name, opts = {}) {
  fs.mkdirSync(SHOTS, { recursive: true });
  const file = path.join(SHOTS, `${name}.png`);
  await page.screenshot({ path: file, fullPage: !!opts.fullPage });
  return file;
}

// Opens the page the way the program does: on the address with the token
// in its fragment (a server from startNative/startWine), or on a given
// address. The page takes the token out of the address bar, so a second
// load of the same address would only change the fragment and not reload:
// a blank page in between makes every load a real one.
export async function openPage(page, target) {
  const url = typeof target === 'string' ? target : target.pageUrl;
  if (page.url() !== 'about:blank') await page.goto('about:blank');
  await page.goto(url);
}

export async function loadPage(page, target) {
  await openPage(page, target);
  await page.waitForSelector('body[data-ready="1"]', { timeout: 20_000 });
}

// ---- fixture trees ----------------------------------------------------------

// Writes files under `driveC`. Each entry: {path: Windows path below C:\
// with backslashes, size, mtime (ms since 1970, optional), sparse}. Large
// sizes become sparse files, so the tree costs almost no disk.
export function writeTree(driveC, entries) {
  for (const e of entries) {
    const host = path.join(driveC, ...e.path.split('\\'));
    fs.mkdirSync(path.dirname(host), { recursive: true });
    if (e.size > 65536) {
      fs.writeFileSync(host, '');
      fs.truncateSync(host, e.size);
    } else {
      fs.writeFileSync(host, Buffer.alloc(e.size, 0x61));
    }
    if (e.mtime !== undefined) {
      const t = new Date(e.mtime);
      fs.utimesSync(host, t, t);
    }
  }
}

// Every file and directory below `dir`, as sorted lines of tab-separated
// fields: "d, path" for a directory, "f, path, size, mtime in ms" for a
// file. Symbolic links are listed as links and never followed. The
// program's own settings file and records of cleans are its state, not part
// of what a clean may change; they are left out.
const OWN_STATE = /^Users\/[^/]+\/AppData\/Local\/tamsel\/(settings\.json.*|history|moves)$/;
export function listTree(dir) {
  const out = [];
  const walk = (abs, rel) => {
    for (const name of fs.readdirSync(abs)) {
      const a = path.join(abs, name);
      const r = rel ? `${rel}/${name}` : name;
      if (OWN_STATE.test(r)) continue;
      const st = fs.lstatSync(a);
      if (st.isSymbolicLink()) out.push(`l\t${r}`);
      else if (st.isDirectory()) { out.push(`d\t${r}`); walk(a, r); }
      else out.push(`f\t${r}\t${st.size}\t${Math.round(st.mtimeMs)}`);
    }
  };
  walk(dir, '');
  return out.sort();
}

// The same binary units as the page: whole bytes below 1 KiB, otherwise one
// decimal of KB, MB, GB or TB.
export function fmtBytes(n) {
  if (n < 1024) return `${n} B`;
  const units = ['KB', 'MB', 'GB', 'TB'];
  let v = n / 1024;
  let i = 0;
  while (v >= 1023.95 && i < units.length - 1) { v /= 1024; i++; }
  return `${v.toFixed(1)} ${units[i]}`;
}

// Local time as the page shows it, for a time zone given as a fixed offset
// in minutes (the tests run the browser in Asia/Shanghai, UTC+8, no DST).
export function localText(ms, offsetMin) {
  const d = new Date(ms + offsetMin * 60_000);
  const p = (n) => String(n).padStart(2, '0');
  return `${d.getUTCFullYear()}-${p(d.getUTCMonth() + 1)}-${p(d.getUTCDate())} ${p(d.getUTCHours())}:${p(d.getUTCMinutes())}`;
}

export async function getJson(url, token) {
  const r = await fetch(url, {
    headers: token ? { [TOKEN_HEADER]: token } : {},
    signal: AbortSignal.timeout(15_000),
  });
  return { status: r.status, json: await r.json().catch(() => undefined) };
}

// Resolves once the test's request listeners have seen every request the
// page started before this call: the page fetches a marker address and the
// marker's request comes after all earlier ones. Checking that a click sent
// nothing then needs no pause of a guessed length.
let settleCount = 0;
export async function requestsSettled(page, timeout = 10_000) {
  const url = new URL(`/settled-${process.pid}-${++settleCount}.txt`, page.url()).href;
  const seen = page.waitForRequest((r) => r.url() === url, { timeout });
  await page.evaluate((u) => { fetch(u).catch(() => {}); }, url);
  await seen;
}

export function sleep(ms) {
  return new Promise((r) => setTimeout(r, ms));
}

// ---- colour helpers, evaluated in the test and in the page -------------------

// The relative luminance of a CSS rgb() or rgba() colour.
export function luminance(css) {
  const [r, g, b] = css.match(/[\d.]+/g).slice(0, 3).map(Number).map((v) => {
    const c = v / 255;
    return c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4;
  });
  return 0.2126 * r + 0.7152 * g + 0.0722 * b;
}

// Text elements matching one of the selectors `sel` whose colour against
// their nearest opaque background is below 4.5:1. Runs in the page:
// page.evaluate(contrastReport, selectors).
export function contrastReport(sel) {
  const lum = (rgb) => {
    const [r, g, b] = rgb.slice(0, 3).map((v) => {
      const c = v / 255;
      return c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4;
    });
    return 0.2126 * r + 0.7152 * g + 0.0722 * b;
  };
  const parse = (css) => css.match(/[\d.]+/g).map(Number);
  const bgOf = (el) => {
    for (let e = el; e; e = e.parentElement) {
      const c = parse(getComputedStyle(e).backgroundColor);
      if (c.length < 4 || c[3] > 0.9) return c;
    }
    return parse(getComputedStyle(document.documentElement).backgroundColor);
  };
  const bad = [];
  for (const el of document.querySelectorAll(sel.join(','))) {
    if (!el.offsetParent || !el.textContent.trim()) continue;
    const st = getComputedStyle(el);
    const fg = parse(st.color);
    const bg = bgOf(el);
    let ratio = (Math.max(lum(fg), lum(bg)) + 0.05) / (Math.min(lum(fg), lum(bg)) + 0.05);
    if (st.opacity && Number(st.opacity) < 1) ratio = 1;  // disabled controls are exempt
    if (el.disabled) continue;
    if (ratio < 4.5) bad.push(`${el.className || el.tagName} "${el.textContent.trim().slice(0, 12)}" ${ratio.toFixed(2)}`);
  }
  return [...new Set(bad)];
}
