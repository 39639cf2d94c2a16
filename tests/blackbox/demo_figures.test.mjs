// The demo drive's user profile, planted on each build's drive C:, cleaned by
// every item that works there, with an age choice, a protected folder and
// files left out in play: the preview (a dry run) promises per item and in
// total exactly what the real clean then does, no file goes twice, and
// nothing outside what the clean reports disappears.
//
// The tree comes from scripts/make_demo_drive.py --list, the same rows the
// demo run plants; only the rows inside the user profile are planted here,
// so that the real clean under wine never reaches the prefix's own system
// folders.

import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { builds, REPO } from './harness.mjs';
import { CATALOGUE } from './catalogue.mjs';
import { windowsEnv, expand, hostOf, listDrive, diffListings, relKey, waitTask } from './fixtures.mjs';

const READY = /\[ok\] 关闭本窗口即退出程序\n/;
const DAY_S = 86_400;
const AGE_DAYS = 7;
// Items whose every target lies in the user profile.
const PROFILE_VARS = /^%(USERPROFILE|LOCALAPPDATA|APPDATA|TEMP)%/i;
const ITEMS = CATALOGUE.flatMap((c) => c.items)
  .filter((i) => (i.mode === 'files' || i.mode === 'dir') && i.targets.length &&
    i.targets.every((t) => PROFILE_VARS.test(t)))
  .map((i) => i.id);

function demoRows() {
  const r = spawnSync('python3', [path.join(REPO, 'scripts', 'make_demo_drive.py'), '--list'],
    { encoding: 'utf8', maxBuffer: 64 << 20 });
  assert.equal(r.status, 0, `make_demo_drive.py --list failed: ${r.stderr}`);
  return r.stdout.trim().split('\n').map((l) => JSON.parse(l));
}

const lower = (s) => s.toLowerCase();
const isUnder = (p, dir) => lower(p).startsWith(`${lower(dir)}\\`);

for (const build of builds()) {
  describe(`${build.name}: the demo drive's figures`, () => {
    const env = windowsEnv(build);
    const planted = new Map(); // win path -> {host, size, mtime}
    const madeDirs = [];
    let srv = null;
    // Under wine the settings file lives in the shared prefix: this test's
    // age choice and protected folder must not outlive it.
    const settingsHost = build.hostPath(`${env.LOCALAPPDATA}\\tamsel\\settings.json`);
    let savedSettings = null;

    before(async () => {
      savedSettings = fs.existsSync(settingsHost) ? fs.readFileSync(settingsHost) : null;
      const profile = env.USERPROFILE;
      for (const [template, size, mtime] of demoRows()) {
        const win = expand(build, template);
        if (!isUnder(win, profile)) continue;
        const host = hostOf(build, win);
        if (fs.existsSync(host)) continue; // the prefix's own file: not ours to plant
        const missing = [];
        for (let p = path.dirname(host); !fs.existsSync(p); p = path.dirname(p)) missing.unshift(p);
        for (const p of missing) { fs.mkdirSync(p); madeDirs.push(p); }
        // Sparse beyond a few kilobytes, as the demo run plants them.
        if (size > 4096) { fs.writeFileSync(host, ''); fs.truncateSync(host, size); } else fs.writeFileSync(host, Buffer.alloc(size, 'd'));
        fs.utimesSync(host, mtime, mtime);
        planted.set(win, { host, size, mtime });
      }
      assert.ok(planted.size > 1000, `only ${planted.size} demo files planted`);
      srv = await build.start([]);
      await srv.waitFor(READY, 15_000);
    });

    after(async () => {
      await srv?.stop();
      if (savedSettings === null) fs.rmSync(settingsHost, { force: true });
      else fs.writeFileSync(settingsHost, savedSettings);
      for (const { host } of planted.values()) fs.rmSync(host, { force: true });
      for (const dir of madeDirs.reverse()) fs.rmSync(dir, { recursive: true, force: true });
    });

    test('the preview promises exactly what the real clean does, with every option in play', async () => {
      const wins = [...planted.keys()];
      // Two old .tmp files in the temp folder, which two items take, left out by the user.
      const tmp = wins.filter((p) => isUnder(p, env.TEMP) && /\.tmp$/i.test(p) &&
        planted.get(p).mtime < Date.now() / 1000 - 14 * DAY_S);
      assert.ok(tmp.length >= 4, 'the demo drive has old .tmp files in %TEMP%');
      const skip = [tmp[0], tmp[1].toUpperCase()];
      // A cache folder the user keeps.
      const keepDir = path.win32.dirname(wins.find((p) => /\\Cache\\/i.test(p) && isUnder(p, env.LOCALAPPDATA)));
      const settings = await srv.post('/api/settings', { version: 1, olderThanDays: AGE_DAYS, protect: [keepDir] });
      assert.equal(settings.json?.ok, true, settings.text);

      const body = { items: ITEMS, olderThanDays: AGE_DAYS, skip };
      const before = listDrive(build);
      await srv.post('/api/clean', { ...body, dryRun: true });
      await waitTask(srv, 300_000);
      const dry = (await srv.get('/api/result')).json;
      assert.equal(dry.dryRun, true);
      assert.deepEqual(diffListings(before, listDrive(build)), { gone: [], added: [], changed: [] },
        'a preview changed the drive');
      assert.ok(dry.totalFiles > 500, `the preview found ${dry.totalFiles} files`);

      await srv.post('/api/clean', { ...body, dryRun: false });
      await waitTask(srv, 300_000);
      const real = (await srv.get('/api/result')).json;
      assert.equal(real.dryRun, false);
      const figures = (doc) => doc.items.map((i) => ({ id: i.id, bytes: i.bytes, files: i.files, skipped: i.skipped }));
      assert.deepEqual(figures(real), figures(dry), 'per item: what the preview promised and what the clean did');
      assert.deepEqual([real.totalBytes, real.totalFiles], [dry.totalBytes, dry.totalFiles]);
      // What the clean refused is the protected folder, nothing else.
      const reasons = real.items.flatMap((i) => i.errors);
      assert.ok(reasons.length > 0 && reasons.every((e) => e === `${keepDir} : 已设为不清理`),
        `refused: ${JSON.stringify(reasons)}`);

      // What disappeared is what the clean reports, each file once.
      const d = diffListings(before, listDrive(build));
      // The stand-in's Recycle Bin is a folder on the drive; wine's is outside it.
      assert.deepEqual(d.added.filter((k) => !/^(users\/[^/]+\/AppData\/Local\/tamsel|\$Recycle\.Bin)(\/|$)/i.test(k)), []);
      assert.deepEqual(d.changed, []);
      const goneFiles = d.gone.filter((k) => before.get(k).startsWith('file '));
      const goneBytes = goneFiles.reduce((a, k) => a + Number(before.get(k).split(' ')[1]), 0);
      assert.equal(goneFiles.length, real.totalFiles, 'files gone against files reported');
      assert.equal(goneBytes, real.totalBytes, 'bytes gone against bytes reported');
      const goneSet = new Set(d.gone);
      // The files left out, the protected folder and every young file of a
      // "files" item are still there.
      for (const p of skip) assert.ok(!goneSet.has(relKey(build, p)), `left out, yet gone: ${p}`);
      for (const p of wins.filter((w) => isUnder(w, keepDir))) assert.ok(!goneSet.has(relKey(build, p)), `protected, yet gone: ${p}`);
      const youngCut = Date.now() / 1000 - AGE_DAYS * DAY_S;
      const young = wins.filter((p) => planted.get(p).mtime > youngCut + 60 && isUnder(p, env.TEMP));
      assert.ok(young.length > 0, 'the demo drive has young temp files');
      for (const p of young) assert.ok(!goneSet.has(relKey(build, p)), `younger than ${AGE_DAYS} days, yet gone: ${p}`);
    });
  });
}
