// The 搬家 view against the native build: Downloads moved to D: from the
// panel (the confirmation, the progress, the result), both drives listed
// before and after, and moved back with 搬回 C 盘; the space view's
// "搬到其他盘" on a folder row; screenshots at three window sizes, light
// and dark; a move a killed program left half way, whose recovery at the
// next start the page follows and then shows. The tests share one page and
// run in order.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { NATIVE_BIN, startNative, openBrowser, closeBrowser, loadPage, shot, tempDir, writeTree, listTree } from './lib.mjs';
import { requireBuild } from '../support/builds.mjs';
import { MiB, PROFILE } from './fixture.mjs';

const skip = requireBuild('native', NATIVE_BIN, 'move view browser tests') ? false : 'the native build is not under test';

const entries = [
  // Large (sparse: its copy is sparse too, and quick).
  { path: `${PROFILE}\\Downloads\\大文件.iso`, size: 3000 * MiB, items: [] },
  { path: `${PROFILE}\\Downloads\\setup.exe`, size: 2 * MiB, items: [] },
  { path: `${PROFILE}\\Downloads\\资料\\报告.docx`, size: 40_000, items: [] },
  { path: `${PROFILE}\\Documents\\WeChat Files\\wxid_abc\\FileStorage\\File\\合同.pdf`, size: 300_000, items: [] },
  { path: `${PROFILE}\\Projects\\site\\index.html`, size: 3_000, items: [] },
];
const DL = `C:\\${PROFILE}\\Downloads`;

let root, driveC, driveD, server, browser, page;

before(async () => {
  if (skip) return;
  root = tempDir('tamsel-move-');
  driveC = path.join(root, 'c');
  driveD = path.join(root, 'd');
  fs.mkdirSync(driveC);
  fs.mkdirSync(driveD);
  writeTree(driveC, entries);
  // A drive of a given size reports what its files leave free, so the
  // result can say what the move freed.
  fs.writeFileSync(path.join(root, 'c.capacity'), `${100 * 1024 * MiB}\n`);
  // D: is a slow disk (each file copied or deleted there waits), so that
  // the copy lasts through a few polls.
  fs.writeFileSync(path.join(root, 'd.slow'), '400\n');
  server = await startNative(root);
  browser = await openBrowser({ viewport: { width: 1280, height: 600 } });
  page = browser.page;
  await loadPage(page, server);
});

after(async () => {
  if (browser) await closeBrowser(browser.context);
  if (server) await server.stop();
});

const rowOf = (name) => page.locator('#mv-rows tr', { has: page.locator('strong', { hasText: new RegExp(`^${name}$`) }) });
const both = () => [...listTree(driveC).map((l) => `C ${l}`), ...listTree(driveD).map((l) => `D ${l}`)];

test('the panel lists the folders with their sizes and the target drive', { skip }, async () => {
  await page.click('#tab-move');
  await page.waitForSelector('#mv-rows tr');
  const dl = rowOf('下载');
  await dl.waitFor();
  assert.match(await dl.textContent(), /2\.9 GB · 3 个文件/);
  assert.match(await dl.textContent(), new RegExp(DL.replace(/\\/g, '\\\\')));
  await rowOf('微信聊天文件（旧版）').waitFor();
  assert.match(await page.locator('#mv-drive').textContent(), /^D: 剩余 /);
  assert.equal(await page.locator('#mv-log-empty').isVisible(), true);
  assert.deepEqual(page.errors, []);
});

test('Downloads moves to D: with progress and a result, and comes back', { skip }, async () => {
  const before = both();
  await rowOf('下载').getByRole('button', { name: '搬到其他盘' }).click();
  await page.waitForSelector('#dlg-move[open]');
  assert.match(await page.locator('#mv-ask').textContent(), /把「下载」（2\.9 GB，3 个文件）从 .*Downloads 搬到 D:\\Tamsel 搬家 里/);
  await page.click('#mv-go');
  await page.waitForSelector('#mv-prog:not([hidden])');
  await page.waitForFunction(() => /已复制 [1-9]/.test(document.getElementById('mv-found').textContent), null, { timeout: 30_000 });
  await shot(page, 'move-progress');
  await page.waitForSelector('#mv-result.ok', { timeout: 120_000 });
  assert.match(await page.locator('#mv-result').textContent(), /^已搬到 D:\\Tamsel 搬家\\Downloads。C 盘多出 2\.9 GB 可用空间$/);
  await shot(page, 'move-done');
  const moved = both();
  assert.ok(!moved.some((l) => /^C [df]\tUsers\/[^/]+\/Downloads/.test(l)), 'Downloads is gone from C:');
  for (const l of before.filter((x) => /Downloads/.test(x))) {
    const onD = l.replace(/^C ([df])\tUsers\/[^/]+\/Downloads/, 'D $1\tTamsel 搬家/Downloads');
    assert.ok(moved.includes(onD), onD);
  }
  const dl = rowOf('下载');
  await dl.getByRole('button', { name: '搬回 C 盘' }).first().waitFor();
  assert.match(await dl.textContent(), /D:\\Tamsel 搬家\\Downloads/);
  assert.equal(await page.locator('#mv-log tr').count(), 1);

  await dl.getByRole('button', { name: '搬回 C 盘' }).click();
  await page.waitForSelector('#dlg-move[open]');
  await page.click('#mv-go');
  // The move's result is gone the moment the way back starts.
  assert.equal(await page.locator('#mv-result').isVisible(), false);
  await page.waitForFunction(() => /^已搬回 /.test(document.getElementById('mv-result').textContent), null, { timeout: 120_000 });
  assert.match(await page.locator('#mv-result').getAttribute('class'), /\bok\b/);
  assert.match(await page.locator('#mv-result').textContent(), /^已搬回 .*Downloads$/);
  const back = both();
  for (const l of before) assert.ok(back.includes(l), `back: ${l}`);
  for (const l of back.filter((x) => !before.includes(x))) assert.match(l, /^D d\t/, `only folders stay on D: ${l}`);
  assert.equal(await page.locator('#mv-log tr').count(), 2);
  assert.deepEqual(page.errors, []);
});

test('a folder row of the space view offers 搬到其他盘', { skip }, async () => {
  await page.click('#tab-space');
  await page.click('#sp-start');
  await page.waitForSelector('#sp-rows tr', { timeout: 30_000 });
  await page.locator('#sp-rows .sp-fn', { hasText: /^Users$/ }).click();
  await page.locator('#sp-rows .sp-fn', { hasText: new RegExp(`^${PROFILE.split('\\').pop()}$`) }).click();
  const row = page.locator('#sp-rows tr', { has: page.locator('.sp-fn', { hasText: /^Projects$/ }) });
  await row.getByRole('button', { name: '搬到其他盘' }).click();
  await page.waitForSelector('#dlg-move[open]');
  assert.match(await page.locator('#mv-ask').textContent(), /把「Projects」（2\.9 KB，1 个文件）从 .*Projects 搬到 D:/);
  assert.equal(await page.locator('#move-view').isVisible(), true);
  await page.locator('#dlg-move [data-close]').click();
  assert.deepEqual(page.errors, []);
});

test('screenshots at three sizes, light and dark', { skip }, async () => {
  for (const scheme of ['light', 'dark']) {
    for (const [w, hgt] of [[1280, 600], [1366, 768], [1920, 1080]]) {
      await page.emulateMedia({ colorScheme: scheme });
      await page.setViewportSize({ width: w, height: hgt });
      await page.click('#tab-move');
      await page.waitForSelector('#mv-rows tr');
      // Nothing of the panel is wider than the window.
      const over = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
      assert.ok(over <= 0, `${w}x${hgt} ${scheme}: ${over}px too wide`);
      await shot(page, `move-${w}x${hgt}-${scheme}`);
    }
  }
});

test('a move left half way is recovered by the next start, followed and then shown', { skip }, async () => {
  await server.stop();
  server = null;
  const ID = '20250101-101010-1';
  const left = `${PROFILE}\\旧项目`;
  writeTree(driveC, [1, 2, 3, 4, 5, 6, 7, 8].map((i) => ({ path: `${left}\\f${i}.txt`, size: 100 + i })));
  const copy = path.join(driveD, 'Tamsel 搬家', '旧项目');
  fs.mkdirSync(copy, { recursive: true });
  for (let i = 1; i <= 8; i++) fs.writeFileSync(path.join(copy, `f${i}.txt`), 'x'.repeat(100 + i));
  const moves = path.join(driveC, ...PROFILE.split('\\'), 'AppData', 'Local', 'tamsel', 'moves');
  fs.mkdirSync(moves, { recursive: true });
  fs.writeFileSync(path.join(moves, `${ID}.json`), JSON.stringify({
    version: 1, id: ID, path: `C:\\${left}`, to: 'D:\\Tamsel 搬家\\旧项目', kind: 'junction', folder: -1,
    back: false, undoOf: '', undone: false, step: 'copying', time: 1735697410000, bytes: 836, files: 8, note: '',
  }));
  // Each deleted file of the copy waits: the recovery lasts some seconds.
  fs.writeFileSync(path.join(root, 'd.slow'), '1500\n');
  const before = listTree(driveC);
  server = await startNative(root);
  await page.setViewportSize({ width: 1280, height: 600 });
  await loadPage(page, server);
  await page.click('#tab-move');
  await page.waitForFunction(() => document.getElementById('mv-phase').textContent === '正在处理上次没有完成的搬家…');
  assert.equal(await page.locator('#mv-cancel').isVisible(), false);
  assert.match(await page.locator('#mv-found').textContent(), /^处理完之前不能搬家或清理。$/);
  assert.match(await page.locator('#mv-cur').textContent(), /旧项目$/);
  // Nothing can start meanwhile, even from rows listed after the task was found.
  await page.waitForSelector('#mv-rows tr button');
  assert.equal(await page.locator('#mv-rows button:not([disabled])').count(), 0);
  for (const scheme of ['light', 'dark']) {
    for (const [w, hgt] of [[1280, 600], [1366, 768], [1920, 1080]]) {
      await page.emulateMedia({ colorScheme: scheme });
      await page.setViewportSize({ width: w, height: hgt });
      const over = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
      assert.ok(over <= 0, `${w}x${hgt} ${scheme}: ${over}px too wide`);
      await shot(page, `move-recovering-${w}x${hgt}-${scheme}`);
    }
  }
  const text = `上次搬家没有完成（程序中途退出），已撤回，原文件夹没有改动：C:\\${left}`;
  await page.waitForFunction((t) => document.getElementById('mv-recovered').textContent === t, text, { timeout: 60_000 });
  assert.equal(await page.locator('#mv-prog').isVisible(), false);
  assert.equal(await page.locator('#mv-result').isVisible(), false);
  await shot(page, 'move-recovered');
  assert.equal(fs.existsSync(copy), false);
  assert.deepEqual(listTree(driveC).filter((l) => !/tamsel\/(port|token)\.txt/.test(l)),
    before.filter((l) => !/tamsel\/(port|token)\.txt/.test(l)));
  assert.deepEqual(page.errors, []);
});
