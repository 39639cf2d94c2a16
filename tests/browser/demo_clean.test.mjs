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
