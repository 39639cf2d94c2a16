// The interface against the native build on a populated temporary drive:
// load, selection, scan with progress, results and chart, file details,
// preview, real clean (the whole fixture tree is compared before and after),
// cancel, layout, and the disconnected state. The tests of this file share
// one program and one page and run in order: each step starts from the
// state the previous one left.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {
  NATIVE_BIN, WEBUI, WEBUI_BUNDLE, startNative, openBrowser, closeBrowser, loadPage, shot, tempDir,
  writeTree, listTree, fmtBytes, localText, sleep, requestsSettled, luminance, contrastReport,
} from './lib.mjs';
import { requireBuild } from '../support/builds.mjs';
import { CATALOGUE, CATEGORY_COUNT, ITEM_COUNT, DEFAULT_COUNT } from '../data/catalogue.mjs';
import { fixtureEntries, itemTotals, deletedBy, T0, CHROME_CACHE_FILES } from './fixture.mjs';

const skip = requireBuild('native', NATIVE_BIN, 'page browser tests') ? false : 'the native build is not under test';

let root;
let driveC;
let server;
let browser;
let page;
const entries = fixtureEntries();
const requests = [];   // every request the page made: {method, url, body}

before(async () => {
  if (skip) return;
  root = tempDir('tamsel-ui-');
  driveC = path.join(root, 'c');
  fs.mkdirSync(driveC);
  writeTree(driveC, entries);
  server = await startNative(root);
  browser = await openBrowser();
  page = browser.page;
  page.on('request', (r) => requests.push({ method: r.method(), url: r.url(), body: r.postData() }));
});

after(async () => {
  if (browser) await closeBrowser(browser.context);
  if (server) await server.stop();
});

const apiCalls = (p) => requests.filter((r) => new URL(r.url).pathname === p);
const text = async (sel) => ((await page.locator(sel).first().textContent()) ?? '').trim();
const waitText = (sel, re, timeout = 10_000) => page.waitForFunction(
  ([s, src, flags]) => {
    const el = document.querySelector(s);
    return !!el && new RegExp(src, flags).test(el.textContent);
  }, [sel, re.source, re.flags], { timeout });
const waitHidden = (sel, timeout = 20_000) => page.waitForFunction(
  (s) => { const el = document.querySelector(s); return !!el && el.hidden; }, sel, { timeout });
const sizeCell = (id) => text(`.item[data-id="${id}"] .item-size .v`);
// The exact bytes a figure stands for, as its tooltip gives them.
const exactBytes = (n) => `${n.toLocaleString('zh-CN')} 字节`;
const titleOf = (sel) => page.getAttribute(sel, 'title');

async function selectOnly(ids) {
  await page.click('#btn-none');
  for (const id of ids) await page.check(`#it-${id}`);
}

// Runs the task a button starts and waits until the page is idle again.
async function waitIdle(timeout = 30_000) {
  await waitHidden('#progress', timeout);
  await page.waitForFunction(() => !document.getElementById('btn-scan').disabled, null, { timeout });
}

const CLEANED = ['user-temp', 'local-tmp-log', 'roaming-tmp-log', 'recent-lnk', 'chrome-cache',
  'prefetch', 'sys-dmp', 'downloads-installer'];
const MEASURED = ['wechat3-data'];

test('the three files are small, self-contained and referenced by their fixed names', { skip: false }, () => {
  // The script is the bundle of the page's modules (webui/src) the build made.
  const files = [path.join(WEBUI, 'index.html'), path.join(WEBUI, 'app.css'), WEBUI_BUNDLE];
  const total = files.reduce((n, f) => n + fs.statSync(f).size, 0);
  assert.ok(total < 180 * 1024, `webui files are ${total} bytes`);
  const html = fs.readFileSync(files[0], 'utf8');
  assert.match(html, /href="\/app\.css"/);
  assert.match(html, /src="\/app\.js"/);
  for (const f of files) {
    const body = fs.readFileSync(f, 'utf8');
    // No resource from the network: no absolute URL in a src, href, url()
    // or import of any of the files.
    assert.doesNotMatch(body, /(src|href)\s*=\s*["']?(https?:)?\/\//i, f);
    assert.doesNotMatch(body, /url\(\s*["']?(https?:)?\/\//i, f);
    assert.doesNotMatch(body, /@import/i, f);
  }
  // A classic script, as the page loads it: no module statement is left.
  assert.doesNotMatch(fs.readFileSync(WEBUI_BUNDLE, 'utf8'), /^\s*(import|export)\b/m);
});

test('load: catalogue, default selection, drive and rights, quickly and offline', { skip }, async () => {
  // Best of three loads: the first pays for a cold browser.
  let best = Infinity;
  for (let i = 0; i < 3; i++) {
    await loadPage(page, server);
    const t = await page.evaluate(() => performance.getEntriesByName('tamsel-ready')[0].startTime);
    best = Math.min(best, t);
  }
  // A figure, not a verdict: how fast the page is belongs to the benchmark,
  // and a loaded machine makes any limit here a coin toss.
  assert.ok(Number.isFinite(best), 'the page marked itself ready');
  console.log(`# page interactive after ${best.toFixed(0)} ms (best of three loads)`);
  await shot(page, '01-load');

  assert.equal(await page.locator('section.cat').count(), CATEGORY_COUNT);
  assert.equal(await page.locator('li.item').count(), ITEM_COUNT);
  assert.equal(await text('section.cat[data-cat="temp"] .cat-head label'),
    `●${CATALOGUE.find((c) => c.id === 'temp').name}`);
  // Default selection is the catalogue's defaultEnabled: the low-risk items.
  const rules = await (await server.api('api/rules')).json();
  const defaults = rules.categories.flatMap((c) => c.items).filter((i) => i.defaultEnabled).map((i) => i.id);
  assert.deepEqual(defaults, CATALOGUE.flatMap((c) => c.items).filter((i) => i.defaultEnabled).map((i) => i.id));
  const checked = await page.$$eval('li.item input[type=checkbox]:checked', (l) => l.map((e) => e.dataset.id));
  assert.deepEqual(checked, defaults);
  assert.equal(await text('#sel-count'), `已勾选 ${DEFAULT_COUNT} 项（共 ${ITEM_COUNT} 项）`);

  // Risk as a coloured badge, mode where it matters.
  assert.equal(await text('.item[data-id="user-temp"] .badge.risk-low'), '低风险');
  assert.equal(await text('.item[data-id="downloads-installer"] .badge.risk-medium'), '中风险');
  assert.equal(await text('.item[data-id="pagefile"] .badge.risk-high'), '高风险');
  assert.match(await text('.item[data-id="pagefile"] .item-badges'), /仅统计/);
  assert.match(await text('.item[data-id="windows-old"] .item-badges'), /整个文件夹/);
  assert.match(await text('.item[data-id="prefetch"] .item-badges'), /需管理员/);
  // Exactly the items the program names as needing an administrator carry the badge.
  const badged = await page.$$eval('li.item', (l) => l.filter((e) =>
    [...e.querySelectorAll('.item-badges .badge')].some((b) => b.textContent === '需管理员')).map((e) => e.dataset.id));
  assert.deepEqual(badged, ['win-serviceprofiles-log', 'prefetch', 'font-cache', 'chrome-update-cache',
    'steam-shader-cache', 'upd-download', 'upd-datastore', 'do-cache', 'sys-dmp', 'sys-logs',
    'win-panther', 'patch-cache', 'asm-native', 'win-temp', 'hibernate', 'winsxs', 'wallpapers',
    'component-cleanup', 'reserved-storage', 'compact-os', 'hiber-reduced', 'restore-points', 'old-drivers']);
  // Every item checkbox has a label.
  const unlabelled = await page.$$eval('input, select, textarea', (l) => l.filter((e) =>
    e.type !== 'hidden' && !e.labels?.length && !e.getAttribute('aria-label')).map((e) => e.id || e.outerHTML));
  assert.deepEqual(unlabelled, []);

  // Drive bar from /api/env, in binary units.
  const env = await (await fetch(server.url + 'api/env')).json();
  const used = env.drive.total - env.drive.free;
  // The host's free space moves a little between the page's request and
  // this one: the total is exact, used and free are in binary units.
  const m = /^已用 ([\d.]+ [KMGT]B)，共 ([\d.]+ [KMGT]B)，可用 ([\d.]+ [KMGT]B)$/.exec(await text('#drive-text'));
  assert.ok(m, await text('#drive-text'));
  assert.equal(m[2], fmtBytes(env.drive.total));
  const width = await page.$eval('#drive-fill', (e) => parseFloat(e.style.width));
  assert.ok(Math.abs(width - used / env.drive.total * 100) < 0.2, `bar ${width}%`);
  // The badge follows the rights the program reports, whichever they are
  // here; the desktop tests show the page without them.
  assert.equal(await text('#admin-badge'), env.admin ? '管理员权限' : '普通权限');
  assert.equal(await page.isVisible('#btn-elevate'), !env.admin);
  // The recycle bin's size comes from /api/recycle, before any scan.
  assert.equal(await sizeCell('recycle-bin'), fmtBytes(6000));
  assert.equal(await text('.item[data-id="recycle-bin"] .item-size .n'), '1 项');
  assert.equal(await sizeCell('user-temp'), '—');

  // Nothing but the program itself was asked for.
  const foreign = requests.filter((r) => !r.url.startsWith(server.url) && !r.url.startsWith('data:'));
  assert.deepEqual(foreign, []);
  assert.deepEqual(page.errors, []);
});

// The window sizes the actions must be in reach at: two low windows and a
// 1280×720 screen scaled to 150 % (853×480 CSS pixels), light and dark.
const REACH = [[1280, 600, 1], [1366, 640, 1], [853, 480, 1.5]];
const ACTIONS = ['#btn-scan', '#btn-dry', '#btn-clean', '#dock-total'];

// At each size, without scrolling: the scan, preview and clean buttons and
// the selected total lie inside the window, none overlaps another, and each
// is what a click on its centre reaches (nothing covers it). Scrolled to the
// end, the dock covers none of the list.
async function checkReach(when) {
  for (const [w, h, scale] of REACH) {
    for (const scheme of ['light', 'dark']) {
      const at = `${w}×${h}@${scale} ${scheme} ${when}`;
      const b = await openBrowser({ viewport: { width: w, height: h }, deviceScaleFactor: scale, colorScheme: scheme });
      try {
        await loadPage(b.page, server);
        const boxes = await b.page.evaluate((sels) => sels.map((sel) => {
          const el = document.querySelector(sel);
          if (!el) return { sel, missing: true };
          const r = el.getBoundingClientRect();
          const hit = document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2);
          return { sel, left: r.left, top: r.top, right: r.right, bottom: r.bottom, onTop: !!hit && el.contains(hit) };
        }), ACTIONS);
        const view = await b.page.evaluate(() => ({ w: innerWidth, h: innerHeight, y: scrollY, dpr: devicePixelRatio }));
        assert.deepEqual([view.w, view.h, view.y, view.dpr], [w, h, 0, scale], at);
        for (const r of boxes) {
          assert.ok(!r.missing, `${at}: no ${r.sel} on the page`);
          assert.ok(r.right - r.left > 0 && r.bottom - r.top > 0, `${at}: ${r.sel} has no size`);
          assert.ok(r.left >= 0 && r.top >= 0 && r.right <= w && r.bottom <= h,
            `${at}: ${r.sel} at ${JSON.stringify(r)} is outside the window`);
          assert.ok(r.onTop, `${at}: ${r.sel} is covered`);
        }
        for (let i = 0; i < boxes.length; i++) {
          for (let j = i + 1; j < boxes.length; j++) {
            const [p, q] = [boxes[i], boxes[j]];
            const apart = p.right <= q.left || q.right <= p.left || p.bottom <= q.top || q.bottom <= p.top;
            assert.ok(apart, `${at}: ${p.sel} overlaps ${q.sel}`);
          }
        }
        const overflow = await b.page.evaluate(() => document.documentElement.scrollWidth - innerWidth);
        assert.ok(overflow <= 0, `${at}: ${overflow}px horizontal overflow`);
        assert.deepEqual(await b.page.evaluate(contrastReport, ['.dock-sum span', '#dock-total', '.dock .btn']), [],
          `${at}: dock text below 4.5:1`);
        await shot(b.page, `12-reach-${w}x${h}-${scheme}-${when}`);
        // At the end of the page the dock settles under the list.
        await b.page.evaluate(() => window.scrollTo(0, document.documentElement.scrollHeight));
        const [last, dock] = await b.page.$$eval('.cat:last-child, #dock', (l) => l.map((e) => e.getBoundingClientRect()));
        assert.ok(last.bottom <= dock.top, `${at}: the dock covers the end of the list (${last.bottom} > ${dock.top})`);
      } finally {
        await closeBrowser(b.context);
      }
    }
  }
}

test('reach: before a scan the actions and the selected total are in view at every size', { skip }, async () => {
  await checkReach('empty');
  assert.equal(await text('#dock-total'), '—');
});

test('select: item boxes, tri-state category boxes, keyboard and memory', { skip }, async () => {
  const cat = '#cat-temp';
  // 4 of 5 items of "temp" are preselected: mixed.
  assert.equal(await page.$eval(cat, (e) => e.indeterminate), true);
  await page.click(cat);
  assert.equal(await page.$eval(cat, (e) => e.checked && !e.indeterminate), true);
  assert.equal(await page.isChecked('#it-win-serviceprofiles-log'), true);
  await page.click(cat);
  const none = await page.$$eval('section.cat[data-cat="temp"] li input', (l) => l.filter((e) => e.checked).length);
  assert.equal(none, 0);
  assert.equal(await page.$eval(cat, (e) => e.checked || e.indeterminate), false);
  assert.match(await text('section.cat[data-cat="temp"] .cat-count'), /已选 0 \/ 5/);

  // Keyboard: focus an item box and toggle it with the space bar; the focus
  // is visible.
  await page.focus('#it-user-temp');
  await page.keyboard.press('Space');
  assert.equal(await page.isChecked('#it-user-temp'), true);
  assert.equal(await page.$eval(cat, (e) => e.indeterminate), true);
  await page.keyboard.press('Tab');
  const outline = await page.evaluate(() => {
    const s = getComputedStyle(document.activeElement);
    return s.outlineStyle !== 'none' && parseFloat(s.outlineWidth) >= 2;
  });
  assert.ok(outline, 'keyboard focus has a visible outline');

  // Collapsing a category hides its items and says so to assistive tech.
  const toggle = 'section.cat[data-cat="temp"] .toggle';
  await page.click(toggle);
  assert.equal(await page.getAttribute(toggle, 'aria-expanded'), 'false');
  assert.equal(await page.isVisible('#it-user-temp'), false);
  await page.click(toggle);
  assert.equal(await page.isVisible('#it-user-temp'), true);

  // The selection survives a reload; "恢复推荐勾选" brings the defaults back.
  await loadPage(page, server);
  assert.equal(await page.isChecked('#it-user-temp'), true);
  assert.equal(await page.isChecked('#it-local-tmp-log'), false);
  await page.click('#btn-defaults');
  assert.equal(await text('#sel-count'), `已勾选 ${DEFAULT_COUNT} 项（共 ${ITEM_COUNT} 项）`);
});

test('scan: progress from done/total, then per-item sizes, chart, total and age', { skip }, async () => {
  // Three progress frames are shown before the real status passes through,
  // so that the progress display can be checked although the real scan of
  // this small tree takes a few milliseconds.
  let scanPosted = false;
  let frames = 3;
  const onReq = (r) => { if (new URL(r.url()).pathname === '/api/scan') scanPosted = true; };
  page.on('request', onReq);
  await page.route('**/api/status', (route) => {
    if (scanPosted && frames > 0) {
      frames--;
      return route.fulfill({
        json: {
          ok: true, busy: true, finished: false, phase: 'scan', done: 5, total: 20,
          bytes: 5 * 1024 * 1024 + 300_000, files: 42, cur: 'C:\\Users\\x\\AppData\\Local\\Temp\\sub',
        },
      });
    }
    return route.continue();
  });
  await page.check('#it-wechat3-data');  // a measure-only item is scanned too
  const before = apiCalls('/api/status').length;
  await page.click('#btn-scan');
  await waitText('#prog-count', /^5 \/ 20 项$/);
  assert.equal(await page.isDisabled('#btn-scan'), true);
  assert.equal(await page.isDisabled('#btn-clean'), true);
  assert.equal(await text('#prog-phase'), '正在扫描…');
  assert.equal(await text('#prog-found'), '已找到 5.3 MB，42 个文件');
  assert.equal(await text('#prog-cur'), 'C:\\Users\\x\\AppData\\Local\\Temp\\sub');
  assert.equal(await page.getAttribute('#prog-bar', 'aria-valuenow'), '25');
  assert.equal(await page.$eval('#prog-fill', (e) => parseFloat(e.style.width)), 25);
  await shot(page, '02-scan-progress');
  await waitIdle();
  page.off('request', onReq);
  await page.unroute('**/api/status');

  const body = JSON.parse(apiCalls('/api/scan').at(-1).body);
  assert.equal(body.items.length, DEFAULT_COUNT + 1);
  assert.ok(body.items.includes('wechat3-data'));
  // Polling stopped at "finished": no further status request for 2 s (the
  // idle check runs every 5 s).
  const polls = apiCalls('/api/status').length;
  assert.ok(polls - before >= 4, `polled ${polls - before} times`);
  await sleep(2000);
  assert.equal(apiCalls('/api/status').length, polls, 'status polling went on after the task finished');

  for (const id of ['user-temp', 'local-tmp-log', 'roaming-tmp-log', 'recent-lnk', 'chrome-cache', 'prefetch', 'sys-dmp', 'wechat3-data']) {
    const t = itemTotals(entries, id);
    assert.equal(await sizeCell(id), fmtBytes(t.bytes), id);
    assert.equal(await text(`.item[data-id="${id}"] .item-size .n`), `${t.files} 个文件`, id);
  }
  assert.equal(await sizeCell('edge-cache'), '0 B');
  assert.equal(await sizeCell('downloads-installer'), '未扫描');

  // Category sums and the chart: reclaimable space only (measure-only items
  // and unscanned items are not in it); the recycle bin's size counts. The
  // files several items take count once, as the program's overlaps say.
  const doc = await (await server.api('api/scanresult')).json();
  const shared = (ids) => (doc.overlaps ?? []).reduce((n, o) => {
    const k = o.items.filter((id) => ids.includes(id)).length;
    return n + (k > 1 ? (k - 1) * o.bytes : 0);
  }, 0);
  const sum = (ids) => ids.reduce((n, id) => n + itemTotals(entries, id).bytes, 0) - shared(ids);
  const temp = sum(['user-temp', 'local-tmp-log', 'roaming-tmp-log', 'recent-lnk']);
  const cache = sum(['chrome-cache', 'prefetch']);
  const system = sum(['sys-dmp']) + 6000;
  const total = temp + cache + system;
  // The headline is what the ticked items free: not the recycle bin (not
  // ticked), not the measured chat data; the total of everything is second.
  const ticked = body.items.filter((id) => id !== 'wechat3-data');
  const headline = sum(ticked);
  assert.equal(await page.isChecked('#it-recycle-bin'), false);
  assert.equal(await titleOf('#sum-total'), exactBytes(headline));
  assert.equal(await text('#sum-total'), fmtBytes(headline));
  assert.equal(await text('#dock-total'), fmtBytes(headline));
  assert.equal(await titleOf('#dock-total'), exactBytes(headline));
  assert.match(await text('#sum-all'), new RegExp(`：${fmtBytes(total).replace('.', '\\.')}$`));
  assert.equal(await text('section.cat[data-cat="temp"] .cat-size'), fmtBytes(temp));
  assert.equal(await text('section.cat[data-cat="chat"] .cat-size'), `${fmtBytes(100_000)}（仅统计）`);
  const rows = await page.$$eval('#chart li', (l) => l.map((li) => [li.dataset.cat, li.querySelector('.val').textContent,
    parseFloat(li.querySelector('.fill').style.width)]));
  assert.deepEqual(rows.map((r) => r[0]), ['temp', 'cache', 'system']);
  assert.equal(rows[0][1], `${fmtBytes(temp)}（${Math.round(temp / total * 100)}%）`);
  assert.equal(rows[0][2], 100);
  assert.ok(Math.abs(rows[1][2] - cache / temp * 100) < 0.01);
  assert.match(await text('#summary'), new RegExp(`另有 ${fmtBytes(100_000).replace('.', '\\.')} 只统计`));
  assert.match(await text('#scan-age'), /^上次扫描：刚刚（\d\d:\d\d）$/);
  await shot(page, '03-scan-results');

  // After a reload the figures come back from /api/scanresult with their age.
  await loadPage(page, server);
  assert.equal(await sizeCell('user-temp'), fmtBytes(itemTotals(entries, 'user-temp').bytes));
  assert.equal(await text('#sum-total'), fmtBytes(headline));
  assert.match(await text('#scan-age'), /^上次扫描：刚刚/);
  assert.deepEqual(page.errors, []);
});

test('reach: with the list filled by a scan the actions and the selected total stay in view', { skip }, async () => {
  await checkReach('scanned');
});

test('headline: what the ticked items free, a file two of them take counted once', { skip }, async () => {
  // The program's document with the file the fixture gives two items
  // (Temp\cache.tmp, taken by user-temp and by local-tmp-log) named as
  // theirs, as the program reports the files several items take.
  const SHARED = { items: ['user-temp', 'local-tmp-log'], files: 1, bytes: 4096 };
  await page.route('**/api/scanresult', async (route) => {
    const res = await route.fetch();
    route.fulfill({ response: res, json: { ...(await res.json()), overlaps: [SHARED] } });
  });
  try {
    await loadPage(page, server);
    const scanned = JSON.parse(apiCalls('/api/scan').at(-1).body).items;
    const figure = (id) => (id === 'recycle-bin' ? 6000 : itemTotals(entries, id).bytes);
    const ticked = async () => (await page.$$eval('li.item input:checked', (l) => l.map((e) => e.dataset.id)))
      .filter((id) => (scanned.includes(id) || id === 'recycle-bin') && id !== 'wechat3-data');
    const expected = async () => {
      const ids = await ticked();
      const k = SHARED.items.filter((id) => ids.includes(id)).length;
      return ids.reduce((n, id) => n + figure(id), 0) - (k > 1 ? (k - 1) * SHARED.bytes : 0);
    };
    const headline = async (bytes) => {
      assert.equal(await titleOf('#sum-total'), exactBytes(bytes));
      assert.equal(await text('#sum-total'), fmtBytes(bytes));
      assert.equal(await titleOf('#dock-total'), exactBytes(bytes));
      assert.equal(await text('#dock-total'), fmtBytes(bytes));
    };
    assert.ok(await page.isChecked('#it-user-temp') && await page.isChecked('#it-local-tmp-log'));
    assert.ok(await page.isChecked('#it-wechat3-data'), 'a ticked measure-only item');
    const all = await expected();
    await headline(all);
    // Unticking an item takes its figure off; the one that shares a file
    // takes off only what the other item does not free as well.
    await page.uncheck('#it-chrome-cache');
    await headline(all - figure('chrome-cache'));
    await page.uncheck('#it-local-tmp-log');
    await headline(all - figure('chrome-cache') - (figure('local-tmp-log') - SHARED.bytes));
    assert.equal(await expected(), all - figure('chrome-cache') - (figure('local-tmp-log') - SHARED.bytes));
    // The recycle bin counts once it is ticked, the chat data never.
    await page.check('#it-recycle-bin');
    await headline(all - figure('chrome-cache') - figure('local-tmp-log') + SHARED.bytes + 6000);
    await page.uncheck('#it-recycle-bin');
    await page.uncheck('#it-wechat3-data');
    await headline(all - figure('chrome-cache') - figure('local-tmp-log') + SHARED.bytes);
    await page.check('#it-chrome-cache');
    await page.check('#it-local-tmp-log');
    await page.check('#it-wechat3-data');
    await headline(all);
    // The confirmation names the same figure.
    await page.click('#btn-clean');
    await page.waitForSelector('#dlg-confirm[open]');
    assert.match(await text('#confirm-body'), new RegExp(`约可释放 ${fmtBytes(all).replace('.', '\\.')}：`));
    await page.click('#btn-confirm-no');
    assert.deepEqual(page.errors, []);
  } finally {
    await page.unroute('**/api/scanresult');
  }
});

test('details: files with size and local time, sortable, larger limit, reasons', { skip }, async () => {
  await page.click('.item[data-id="user-temp"] .item-act button');
  await page.waitForSelector('#dlg-detail[open] #detail-rows tr td.c-size');
  const names = () => page.$$eval('#detail-rows tr .fn', (l) => l.map((e) => e.textContent));
  // Largest first by default.
  assert.deepEqual(await names(), ['big.bin', 'nested.dat', 'cache.tmp', 'setup_log.txt']);
  const first = await page.$$eval('#detail-rows tr:first-child td', (l) => l.map((e) => e.textContent));
  assert.equal(first[1], '5.0 MB');
  // FILETIME converted to the browser's local time (Asia/Shanghai, UTC+8).
  assert.equal(first[2], localText(T0, 8 * 60));
  assert.equal(first[2], '2024-03-12 18:15');
  assert.match(await text('#detail-rows tr:first-child .dir'), /^C:\\Users\\.+\\AppData\\Local\\Temp$/);
  assert.match(await text('#detail-info'), /^列出 4 个文件，合计 5\.3 MB$/);

  await page.click('th.c-size button');
  assert.deepEqual(await names(), ['setup_log.txt', 'cache.tmp', 'nested.dat', 'big.bin']);
  assert.equal(await page.getAttribute('th.c-size', 'aria-sort'), 'ascending');
  await page.click('th.c-time button');
  assert.deepEqual(await names(), ['big.bin', 'cache.tmp', 'setup_log.txt', 'nested.dat']);
  assert.equal(await page.getAttribute('th.c-time', 'aria-sort'), 'descending');
  assert.equal(await page.getAttribute('th.c-size', 'aria-sort'), 'none');
  await page.click('th.c-time button');
  assert.deepEqual(await names(), ['nested.dat', 'setup_log.txt', 'cache.tmp', 'big.bin']);
  await shot(page, '04-details');
  await page.keyboard.press('Escape');
  assert.equal(await page.isVisible('#dlg-detail'), false);

  // 350 files: 300 by default, all of them with a larger limit.
  await page.click('.item[data-id="chrome-cache"] .item-act button');
  await page.waitForFunction(() => document.querySelectorAll('#detail-rows tr').length === 300);
  assert.match(await text('#detail-info'), /已到上限/);
  assert.ok(apiCalls('/api/detail').at(-1).url.endsWith('id=chrome-cache&limit=300'));
  await page.selectOption('#detail-limit', '1000');
  await page.waitForFunction((n) => document.querySelectorAll('#detail-rows tr').length === n, CHROME_CACHE_FILES);
  assert.ok(apiCalls('/api/detail').at(-1).url.endsWith('id=chrome-cache&limit=1000'));
  assert.match(await text('#detail-info'), new RegExp(`^列出 ${CHROME_CACHE_FILES} 个文件`));
  // Sorted by time, newest first: f_000000 is the newest.
  await page.click('th.c-time button');
  assert.equal(await text('#detail-rows tr:first-child .fn'), 'f_000000');
  await page.click('#dlg-detail .close');

  // No listing for measure-only items: the panel says why, nothing is asked.
  const asked = apiCalls('/api/detail').length;
  await page.click('.item[data-id="wechat3-data"] .item-act button');
  assert.match(await text('#detail-note'), /只统计/);
  assert.equal(await page.isVisible('#detail-wrap'), false);
  assert.equal(apiCalls('/api/detail').length, asked);
  await shot(page, '05-details-hidden');
  await page.keyboard.press('Escape');
});

test('preview: a dry run reports what would go and deletes nothing', { skip }, async () => {
  await selectOnly([...CLEANED, ...MEASURED]);
  const tree = listTree(driveC);
  // The headline of a scan of the same selection promises what the preview finds.
  await page.click('#btn-scan');
  await waitIdle();
  const promised = await text('#sum-total');
  const promisedExact = await titleOf('#sum-total');
  // The user's own files in it go to the recycle bin first, and the summary says so.
  assert.match(await text('#sum-recycled'),
    new RegExp(`^其中 ${fmtBytes(itemTotals(entries, 'downloads-installer').bytes).replace('.', '\\.')} 是你自己的文件.*清空回收站后才真正腾出`));
  await page.click('#btn-dry');
  await page.waitForSelector('#dlg-result[open]', { timeout: 30_000 });
  const body = JSON.parse(apiCalls('/api/clean').at(-1).body);
  assert.deepEqual(body.items, CLEANED, 'measure-only items are not sent to a clean');
  assert.equal(body.dryRun, true);
  assert.match(await text('#result-title'), /预览/);
  // Each file once, however many of the items take it: what the real clean frees.
  const expected = entries.filter((f) => f.items.some((i) => CLEANED.includes(i))).reduce((n, f) => n + f.size, 0);
  assert.equal(await text('#result-bytes'), fmtBytes(expected));
  assert.equal(await text('#result-bytes'), promised);
  const dry = await (await server.api('api/result')).json();
  assert.equal(promisedExact, exactBytes(dry.totalBytes));
  assert.equal(await page.locator('#result-table tbody tr').count(), CLEANED.length);
  await shot(page, '06-preview');
  await page.click('#dlg-result .dlg-foot button');
  assert.deepEqual(listTree(driveC), tree, 'a preview changed the drive');
  assert.match(await text('#last-clean'), /^上次预览：可释放/);
  // Reopened after the selection changed, the preview no longer offers to
  // clean: that clean would not be the one it previewed.
  await page.uncheck('#it-prefetch');
  await page.click('#last-clean button');
  await page.waitForSelector('#dlg-result[open]');
  assert.equal(await page.isVisible('#btn-result-clean'), false);
  await page.keyboard.press('Escape');
  await page.check('#it-prefetch');
});

test('clean: confirmation first, then exactly the selected files are gone', { skip }, async () => {
  await selectOnly([...CLEANED, ...MEASURED]);
  const tree = listTree(driveC);

  // Declining the confirmation changes nothing.
  const cleans = apiCalls('/api/clean').length;
  await page.click('#btn-clean');
  await page.waitForSelector('#dlg-confirm[open]');
  const listed = await page.$$eval('#confirm-list li', (l) => l.map((e) => e.dataset.id));
  assert.deepEqual(listed, CLEANED);
  assert.match(await text('#confirm-risk'), /下载目录里的安装包（中风险）/);
  assert.match(await text('#confirm-measure'), /微信 3\.x 数据目录/);
  assert.equal(await page.isVisible('#confirm-admin'), false, 'an administrator gets no rights warning');
  // Cancel is where the focus starts.
  assert.equal(await page.evaluate(() => document.activeElement.id), 'btn-confirm-no');
  await shot(page, '07-confirm');
  await page.click('#btn-confirm-no');
  await requestsSettled(page);
  assert.equal(apiCalls('/api/clean').length, cleans);
  assert.deepEqual(listTree(driveC), tree);

  // The preview goes on to the clean through the same confirmation.
  await page.click('#btn-dry');
  await page.waitForSelector('#dlg-result[open]', { timeout: 30_000 });
  assert.equal(await page.isVisible('#btn-result-clean'), true);
  assert.equal(await text('#btn-result-clean'), '立即清理');
  const dryRuns = apiCalls('/api/clean').length;
  await page.click('#btn-result-clean');
  await page.waitForSelector('#dlg-confirm[open]');
  assert.equal(await page.isVisible('#dlg-result'), false);
  assert.deepEqual(await page.$$eval('#confirm-list li', (l) => l.map((e) => e.dataset.id)), listed);
  assert.match(await text('#confirm-risk'), /下载目录里的安装包（中风险）/);
  assert.equal(apiCalls('/api/clean').length, dryRuns, 'the clean started before it was confirmed');
  await page.check('#opt-explorer');
  await page.click('#btn-confirm-yes');
  await page.waitForSelector('#dlg-result[open]', { timeout: 30_000 });
  const body = JSON.parse(apiCalls('/api/clean').at(-1).body);
  assert.deepEqual(body, { items: CLEANED, dryRun: false, restartExplorer: true, olderThanDays: 0, skip: [] });

  // The whole tree: exactly the selected items' files are gone; directories,
  // personal files and the measured chat data stay.
  // The installers in Downloads are the user's own files: they went to the
  // Recycle Bin (the stand-in's C:\$Recycle.Bin), whole and with their sizes.
  const gone = new Set(deletedBy(entries, CLEANED));
  const expected = tree.filter((line) => !(line.startsWith('f\t') && gone.has(line.split('\t')[1])));
  assert.equal(tree.length - expected.length, gone.size);
  const binOf = (lines) => lines.filter((l) => /^[fd]\t\$Recycle\.Bin\/S-1-5-21-\d+(\/|$)/.test(l));
  const now = listTree(driveC);
  const newInBin = binOf(now).filter((l) => !tree.includes(l));
  const recycled = entries.filter((f) => f.items.includes('downloads-installer')).map((f) => f.size).sort();
  assert.deepEqual(newInBin.filter((l) => l.startsWith('f\t')).map((l) => Number(l.split('\t')[2])).sort(), recycled);
  assert.deepEqual(now.filter((l) => !newInBin.includes(l)), expected);
  assert.match(await text('#result-recycle'), /已移到回收站/);

  const freed = entries.filter((f) => f.items.some((i) => CLEANED.includes(i))).reduce((n, f) => n + f.size, 0);
  assert.equal(await text('#result-title'), '清理完成');
  assert.equal(await text('#result-bytes'), fmtBytes(freed));
  assert.match(await text('#result-files'), new RegExp(`^${gone.size} 个$`));
  assert.match(await text('#result-free'), /^[\d.]+ [KMGT]B → [\d.]+ [KMGT]B/);
  assert.match(await text('#result-skipped'), /^0 个$/);
  assert.equal(await page.locator('#result-table tbody tr[data-id="wechat3-data"]').count(), 0);
  // The result of a real clean offers no second clean.
  assert.equal(await page.isVisible('#btn-result-clean'), false);
  await shot(page, '08-clean-result');
  await page.keyboard.press('Escape');

  // What went is no longer shown as there: the cleaned items stand at 0 and
  // say so, nothing ticked is left to free, and the other figures are
  // flagged as older than the clean; also after a reload.
  const cleanedShown = async () => {
    for (const id of CLEANED) {
      assert.equal(await sizeCell(id), '0 B', id);
      assert.match(await text(`.item[data-id="${id}"] .item-size .done`), /^已清理 /, id);
    }
    assert.equal(await text('.item[data-id="chrome-cache"] .item-size .done'),
      `已清理 ${fmtBytes(itemTotals(entries, 'chrome-cache').bytes)}`);
    assert.equal(await titleOf('#sum-total'), exactBytes(0));
    assert.equal(await titleOf('#dock-total'), exactBytes(0));
    assert.equal(await text('section.cat[data-cat="temp"] .cat-size'), '0 B');
    assert.match(await text('#sum-stale'), /已清理的项目按 0 计/);
  };
  await cleanedShown();
  await loadPage(page, server);
  await cleanedShown();
  // A preview after the clean becomes the program's last result; a reload
  // still shows what went.
  await page.click('#btn-dry');
  await page.waitForSelector('#dlg-result[open]', { timeout: 30_000 });
  await page.keyboard.press('Escape');
  await loadPage(page, server);
  await cleanedShown();
  assert.deepEqual(page.errors, []);
});

test('cancel: the button asks the program to stop and the page settles', { skip }, async () => {
  // The status is held at "running" until the page has sent its cancel, so
  // that the button can be used although this small scan ends at once.
  let scanPosted = false;
  let hold = true;
  const onReq = (r) => { if (new URL(r.url()).pathname === '/api/scan') scanPosted = true; };
  page.on('request', onReq);
  await page.route('**/api/status', (route) => {
    if (scanPosted && hold) {
      return route.fulfill({
        json: { ok: true, busy: true, finished: false, phase: 'scan', done: 1, total: 9, bytes: 0, files: 0, cur: '' },
      });
    }
    return route.continue();
  });
  await selectOnly(['user-temp', 'downloads-video']);
  await page.click('#btn-scan');
  await waitText('#prog-count', /^1 \/ 9 项$/);
  const cancelReq = page.waitForRequest((r) => new URL(r.url()).pathname === '/api/cancel');
  await page.click('#btn-cancel');
  await cancelReq;
  assert.equal(await text('#prog-phase'), '正在取消…');
  assert.equal(await page.isDisabled('#btn-cancel'), true);
  await shot(page, '09-cancelling');
  hold = false;
  await waitIdle();
  page.off('request', onReq);
  await page.unroute('**/api/status');
  assert.match(await text('#summary'), /中途取消/);
  const polls = apiCalls('/api/status').length;
  await sleep(2000);
  assert.equal(apiCalls('/api/status').length, polls, 'status polling went on after the cancel');

  // A cancelled task leaves the program unable to list directories until the
  // next task: the details panel says so instead of showing an empty list.
  await page.click('.item[data-id="downloads-video"] .item-act button');
  await waitText('#detail-rows', /重新扫描/);
  await page.keyboard.press('Escape');
});

// The texts whose contrast the layout test checks.
const PAGE_TEXT = ['.item-name', '.item-desc', '.muted', '.badge', '.btn', '.item-size .v', '.item-size .n',
  '.cat-head label', '.cat-count', 'h1', 'h2', '#drive-text', '.legend', '.btn.link'];

test('layout: 1024 px to a maximised window, and the dark scheme with readable contrast', { skip }, async () => {
  for (const [w, h, scheme] of [[1024, 768, 'light'], [1920, 1080, 'light'], [1280, 900, 'dark']]) {
    const b = await openBrowser({ viewport: { width: w, height: h }, colorScheme: scheme });
    try {
      await loadPage(b.page, server);
      const overflow = await b.page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
      assert.ok(overflow <= 0, `${w}px: ${overflow}px horizontal overflow`);
      // Side panel beside the catalogue at every one of these widths.
      const [cat, side] = await b.page.$$eval('#catalog, .side', (l) => l.map((e) => e.getBoundingClientRect().left));
      assert.ok(side > cat + 300, `${w}px: side panel not beside the list`);
      const bg = await b.page.evaluate(() => getComputedStyle(document.body).backgroundColor);
      const lum = luminance(bg);
      if (scheme === 'dark') assert.ok(lum < 0.05, `dark background ${bg}`);
      else assert.ok(lum > 0.8, `light background ${bg}`);
      const low = await b.page.evaluate(contrastReport, PAGE_TEXT);
      assert.deepEqual(low, [], `${scheme}: text below 4.5:1`);
      await shot(b.page, `10-layout-${w}-${scheme}`);
    } finally {
      await closeBrowser(b.context);
    }
  }
});

test('disconnected: when the program is gone the page says so', { skip }, async () => {
  await loadPage(page, server);
  await server.stop();
  await page.waitForSelector('#gone:not([hidden])', { timeout: 15_000 });
  assert.match(await text('#gone'), /与 Tamsel 的连接已断开/);
  assert.match(await text('#gone'), /重新打开 Tamsel/);
  // The rest of the page no longer takes clicks.
  assert.equal(await page.$eval('main', (e) => e.inert), true);
  await shot(page, '11-disconnected');
  // Trying again while the program is still gone keeps the message.
  await page.click('#btn-reconnect');
  await waitText('#toast', /仍然连不上/);
  assert.equal(await page.isVisible('#gone'), true);
});
