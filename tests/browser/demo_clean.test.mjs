// The demo drive, as a new user meets it: the recommended items and a few
// more ticked, an age choice, then the preview and the real clean through
// the page. What the preview promised (bytes, files, skipped, per item and
// in total) is what the clean then did, and the clean freed on the drive
// what it says; the figures shown afterwards no longer count what is gone.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import path from 'node:path';
import {
  NATIVE_BIN, REPO, startNative, openBrowser, closeBrowser, loadPage, tempDir, shot,
} from './lib.mjs';
import { requireBuild } from '../support/builds.mjs';

const skip = requireBuild('native', NATIVE_BIN, 'demo drive browser test') ? false : 'the native build is not under test';

// Beside the recommended items: two that share files with them (the
// application logs under the local and roaming folders) and a user-content
// item, whose files go to the Recycle Bin.
const EXTRA = ['wps-cache', 'netease-cache', 'downloads-video'];

let root, server, browser, page;

before(async () => {
  if (skip) return;
  root = tempDir('tamsel-demo-');
  const made = spawnSync('python3', [path.join(REPO, 'scripts', 'make_demo_drive.py'), root], { encoding: 'utf8' });
  assert.equal(made.status, 0, made.stderr);
  server = await startNative(root);
  browser = await openBrowser({ viewport: { width: 1366, height: 768 } });
  page = browser.page;
  await loadPage(page, server);
});

after(async () => {
  if (browser) await closeBrowser(browser.context);
  if (server) await server.stop();
});

async function waitIdle(timeout = 120_000) {
  await page.waitForFunction(() => document.getElementById('progress').hidden &&
    !document.getElementById('btn-scan').disabled, null, { timeout });
}
const text = async (sel) => ((await page.locator(sel).first().textContent()) ?? '').trim();
const lastResult = async () => (await server.api('/api/result')).json();

test('on the demo drive the preview promises exactly what the clean does', { skip }, async () => {
  await waitIdle();
  await page.click('#btn-defaults');
  for (const id of EXTRA) await page.check(`#it-${id}`);
  await page.selectOption('#opt-age', '7');
  await page.click('#btn-scan');
  await waitIdle();

  await page.click('#btn-dry');
  await page.waitForSelector('#dlg-result[open]', { timeout: 120_000 });
  const promised = { bytes: await text('#result-bytes'), files: await text('#result-files'), skipped: await text('#result-skipped') };
  const dry = await lastResult();
  assert.equal(dry.dryRun, true);
  await shot(page, 'demo-preview');
  await page.keyboard.press('Escape');

  await page.click('#btn-clean');
  await page.waitForSelector('#dlg-confirm[open]');
  await page.click('#btn-confirm-yes');
  await page.waitForFunction(() => {
    const d = document.getElementById('dlg-result');
    return d.open && !/预览/.test(document.getElementById('result-title').textContent);
  }, null, { timeout: 180_000 });
  const done = { bytes: await text('#result-bytes'), files: await text('#result-files'), skipped: await text('#result-skipped') };
  const real = await lastResult();
  assert.equal(real.dryRun, false);
  await shot(page, 'demo-clean');

  const figures = (doc) => doc.items.map((i) => [i.id, i.bytes, i.files, i.skipped]);
  assert.deepEqual(figures(real), figures(dry), 'per item, the clean against its preview');
  assert.deepEqual([real.totalBytes, real.totalFiles], [dry.totalBytes, dry.totalFiles]);
  assert.equal(done.bytes, promised.bytes);
  assert.equal(done.files.replace('删除的文件', ''), promised.files.replace('涉及文件', ''));
  assert.equal(done.skipped, promised.skipped);
  // The stand-in's free space follows what the files occupy: what went to
  // the Recycle Bin still occupies the drive, the rest is free now, less the
  // little the program itself wrote meanwhile (its record of the clean).
  const recycled = real.items.filter((i) => i.id === 'downloads-video').reduce((a, i) => a + i.bytes, 0);
  const gain = real.freeAfter - real.freeBefore;
  const deleted = real.totalBytes - recycled;
  assert.ok(recycled > 0, 'the demo drive has videos in Downloads');
  assert.ok(gain <= deleted && gain > deleted - (1 << 20), `free space gained ${gain} against ${deleted} bytes deleted`);
  assert.deepEqual(page.errors, []);
});

// The caches of programs built on Chromium, as a new user meets them: the
// item is not ticked at first; ticked, its file list shows one heading per
// program (its folder's name, the folder, its files and size) with that
// program's files below it, at the common screen sizes, light and dark.
const CHROMIUM_ITEM = 'chromium-app-caches';
const LOOKS = [
  [{ width: 1280, height: 600 }, 'light'], [{ width: 1366, height: 768 }, 'dark'],
  [{ width: 1920, height: 1080 }, 'light'], [{ width: 1280, height: 600 }, 'dark'],
  [{ width: 1366, height: 768 }, 'light'], [{ width: 1920, height: 1080 }, 'dark'],
];

test('on the demo drive the caches of programs built on Chromium are listed by program', { skip }, async () => {
  // What the program lists, with the age the page chose (an earlier test's).
  const listed = async (age) => {
    const doc = await (await server.api(`/api/detail?id=${CHROMIUM_ITEM}&limit=5000${age ? `&olderThanDays=${age}` : ''}`)).json();
    assert.equal(doc.ok, true);
    const programs = new Map();
    for (const f of doc.files) {
      assert.equal(typeof f.g, 'string', f.p);
      assert.ok(f.p.startsWith(`${f.g}\\`), `${f.p} lies in ${f.g}`);
      programs.set(f.g, (programs.get(f.g) ?? 0) + 1);
    }
    return { doc, programs };
  };
  const all = await listed(0);
  for (const app of ['\\AppData\\Roaming\\LinkMeet', '\\AppData\\Roaming\\MusicBox\\Partitions\\player',
    '\\AppData\\Local\\YunPan\\CloudDisk\\bin\\cef\\UserData'])
    assert.ok([...all.programs.keys()].some((g) => g.endsWith(app)), `the demo drive's ${app} is found`);
  for (const g of all.programs.keys()) assert.doesNotMatch(g, /PhotoEditor|WorkNotes|\\User Data(\\|$)/, g);

  let first = true;
  for (const [viewport, colorScheme] of LOOKS) {
    const b = await openBrowser({ viewport, colorScheme });
    try {
      const p = b.page;
      await loadPage(p, server);
      const row = p.locator(`.item[data-id="${CHROMIUM_ITEM}"]`);
      await row.scrollIntoViewIfNeeded();
      assert.match(await row.textContent(), /其他软件的网页缓存（Chromium 内核）/);
      assert.match(await row.textContent(), /首次打开可能稍慢/);
      if (first) assert.equal(await p.isChecked(`#it-${CHROMIUM_ITEM}`), false, 'not ticked at first');
      first = false;
      await p.check(`#it-${CHROMIUM_ITEM}`);
      const { doc, programs } = await listed(Number(await p.inputValue('#opt-age')) || 0);
      await p.click(`.item[data-id="${CHROMIUM_ITEM}"] .item-act button`);
      await p.waitForSelector('#dlg-detail[open] #detail-rows tr.group-row');
      await p.selectOption('#detail-limit', '5000');
      await p.waitForFunction((n) => document.querySelectorAll('#detail-rows tr').length === n,
        doc.files.length + programs.size);
      const rows = await p.$$eval('#detail-rows tr', (l) => l.map((tr) => (tr.classList.contains('group-row')
        ? { g: tr.querySelector('.dir').textContent, name: tr.querySelector('.group-name').textContent,
            sum: tr.querySelector('.group-sum').textContent }
        : { p: tr.querySelector('td.c-path').title })));
      const heads = rows.filter((r) => r.g);
      assert.equal(heads.length, programs.size, 'one heading per program');
      assert.deepEqual(new Set(heads.map((r) => r.g)), new Set(programs.keys()));
      let under = null;
      const seen = new Map();
      for (const r of rows) {
        if (r.g) {
          under = r;
          assert.equal(r.name, r.g.slice(r.g.lastIndexOf('\\') + 1));
          assert.match(r.sum, new RegExp(`^${programs.get(r.g)} 个文件，`));
          continue;
        }
        assert.ok(under && r.p.startsWith(`${under.g}\\`), `${r.p} under its program's heading`);
        seen.set(under.g, (seen.get(under.g) ?? 0) + 1);
      }
      assert.deepEqual(seen, programs);
      assert.match(await p.locator('#detail-info').textContent(), new RegExp(`^列出 ${doc.files.length.toLocaleString('zh-CN')} 个文件`));
      await shot(p, `chromium-caches-${viewport.width}x${viewport.height}-${colorScheme}`);
      await p.click('#dlg-detail .close');
      assert.deepEqual(p.errors, []);
    } finally {
      await closeBrowser(b.context);
    }
  }
});
