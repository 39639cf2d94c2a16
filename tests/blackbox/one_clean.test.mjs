// One clean at a time on the machine, and no clean without its record,
// through the real program in both builds: while another process holds the
// machine's clean (the helper tests/hold_machine_clean, as a second
// cleaning process would), "--clean" in its own process and a running
// instance's API refuse with the busy answer and delete nothing; the
// helper's death lets the next clean run. A clean whose record cannot be
// begun (a file where the records' folder belongs) deletes nothing either.
// Every step compares a listing of the whole drive.

import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { builds, lines, killGroup } from './harness.mjs';
import { windowsEnv, Planter, listDrive, diffListings, relKey, waitTask } from './fixtures.mjs';

const W = (...parts) => parts.join('\\');
const READY = /\[ok\] 关闭本窗口即退出程序\n/;
const BUSY = '已有任务在运行';
const NOT_BEGUN = '清理记录无法写入，清理没有开始，没有删除任何文件';
const NOTHING = { gone: [], added: [], changed: [] };

for (const build of builds()) {
  describe(`${build.name} one clean at a time, none without its record`, { timeout: 300_000 }, () => {
    const env = windowsEnv(build);
    const BT = 'C:\\$WINDOWS.~BT';
    const stateHost = build.hostPath(W(env.LOCALAPPDATA, 'tamsel'));
    const historyHost = path.join(stateHost, 'history');
    const records = () => (fs.existsSync(historyHost) && fs.statSync(historyHost).isDirectory()
      ? fs.readdirSync(historyHost) : []);
    const helper = path.join(path.dirname(build.binary), 'tests',
      build.name === 'native' ? 'hold_machine_clean' : 'hold_machine_clean.exe');
    const planter = new Planter(build);
    // The drive without the program's own folder (its port and token files
    // change with every start; its records are checked on their own).
    const own = relKey(build, W(env.LOCALAPPDATA, 'tamsel'));
    const drive = () => new Map([...listDrive(build)].filter(([k]) => k !== own && !k.startsWith(`${own}/`)));

    before(() => {
      planter.dir(W(env.LOCALAPPDATA, 'tamsel'));
      for (let i = 0; i < 5; i++) planter.file(W(BT, 'tamsel-bb-once', `f${i}.bin`), 1 << i);
    });
    after(() => planter.removeAll());

    // Starts the helper and resolves once it holds the machine's clean.
    const hold = () => new Promise((resolve, reject) => {
      assert.ok(fs.existsSync(helper), `the helper ${helper} is built with the tests`);
      const child = build.spawnOther(helper);
      let out = '';
      const timer = setTimeout(() => { killGroup(child); reject(new Error(`helper silent: ${out}`)); }, 30_000);
      child.stdout.on('data', (d) => {
        out += d.toString('utf8');
        if (/held/.test(out)) { clearTimeout(timer); resolve(child); }
        if (/busy/.test(out)) { clearTimeout(timer); reject(new Error('the helper found the machine\'s clean held')); }
      });
      child.on('close', (code) => { clearTimeout(timer); reject(new Error(`helper ended (${code}): ${out}`)); });
    });
    const ended = (child) => new Promise((resolve) => {
      if (child.exitCode !== null || child.signalCode !== null) resolve();
      else child.on('close', resolve);
    });

    test('while another process cleans, --clean and the API refuse as busy; its end lets the next clean run', async () => {
      const before = drive();
      const recordsBefore = records();
      const holder = await hold();
      try {
        for (const args of [['--clean', 'windows-bt'], ['--clean', 'windows-bt', '--dry-run']]) {
          const r = await build.run(args);
          assert.equal(r.code, 1, `${args.join(' ')}: ${r.stdout}`);
          assert.deepEqual(lines(r.stdout), [`[err] ${BUSY}`], args.join(' '));
        }
        assert.deepEqual(diffListings(before, drive()), NOTHING);

        const srv = await build.start([]);
        try {
          await srv.waitFor(READY, 15_000);
          for (const dryRun of [false, true]) {
            assert.equal((await srv.post('/api/clean', { items: ['windows-bt'], dryRun })).text,
              `{"ok":false,"message":"${BUSY}"}`, `dryRun ${dryRun}`);
          }
          // A scan deletes nothing and runs beside another process's clean.
          assert.equal((await srv.post('/api/scan', { items: ['windows-bt'] })).text,
            '{"ok":true,"started":true}');
          await waitTask(srv);
          const st = (await srv.get('/api/status')).json;
          assert.equal(st.phase, 'idle');
        } finally {
          await srv.stop();
        }
        assert.deepEqual(diffListings(before, drive()), NOTHING);
        assert.deepEqual(records(), recordsBefore, 'a refused clean leaves no record');
      } finally {
        killGroup(holder);
        await ended(holder);
      }

      // Killed, the other process let go: the clean runs and removes the
      // item's folder whole.
      const r = await build.run(['--clean', 'windows-bt']);
      assert.equal(r.code, 0, r.stdout);
      const bt = relKey(build, BT);
      const gone = [...before.keys()].filter((k) => k === bt || k.startsWith(`${bt}/`)).sort();
      assert.deepEqual(diffListings(before, drive()), { gone, added: [], changed: [] });
      for (let i = 0; i < 5; i++) planter.files.delete(W(BT, 'tamsel-bb-once', `f${i}.bin`));
    });

    test('a clean whose record can no longer be written stops at once, says so and exits 1', async (t) => {
      if (build.name !== 'native') {
        t.skip('a record write that fails half way is made with a file size limit (ulimit -f) on the '
          + 'program\'s process, which under wine would reach the wine server it may start too');
        return;
      }
      const N = 300;
      for (let i = 0; i < N; i++) planter.file(W(BT, 'tamsel-bb-stop', `s${i}.bin`), 1);
      const before = drive();
      const recordsBefore = records();
      // Room for the record's first line and a few lines more: then the
      // disk is as good as full for this process (a write past the limit
      // fails with SIGXFSZ ignored, as on a full disk).
      const child = build.spawnOther('/bin/sh', ['-c', 'trap "" XFSZ; ulimit -f 2 && exec "$0" --clean windows-bt', build.binary]);
      let out = '';
      child.stdout.on('data', (d) => { out += d.toString('utf8'); });
      const code = await new Promise((resolve) => child.on('close', resolve));
      assert.equal(code, 1, out);
      assert.equal(lines(out)[0], '[warn] 清理记录无法写入，清理已停止，之后的文件没有删除');
      const mine = records().filter((n) => !recordsBefore.includes(n));
      assert.equal(mine.length, 1, mine.join(' '));
      const text = fs.readFileSync(path.join(historyHost, mine[0]), 'utf8');
      // The last line, cut short by the full disk, does not count.
      const recorded = text.split('\n').slice(0, -1).filter((l) => l.startsWith('deleted\t')).map((l) => relKey(build, l.split('\t')[3]));
      const d = diffListings(before, drive());
      assert.deepEqual([d.added, d.changed], [[], []]);
      // What the record names went, and besides at most the one file whose
      // line could not be written; everything else stays.
      for (const k of recorded) assert.ok(d.gone.includes(k), `recorded but still there: ${k}`);
      assert.ok(recorded.length > 0 && d.gone.length <= recorded.length + 1, `${d.gone.length} gone, ${recorded.length} recorded`);
      assert.ok(d.gone.length < N / 2, `${d.gone.length} of ${N} gone`);
      const srv = await build.start([]);
      try {
        await srv.waitFor(READY, 15_000);
        const rec = (await srv.get('/api/history')).json.records.find((r) => `${r.id}.tsv` === mine[0]);
        assert.equal(rec.complete, false);
        assert.equal(rec.files, recorded.length);
      } finally {
        await srv.stop();
      }
    });

    test('a clean whose record cannot be begun deletes nothing, on the command line and through the API', async () => {
      for (let i = 0; i < 5; i++) planter.file(W(BT, 'tamsel-bb-once', `g${i}.bin`), 1 << i);
      const aside = `${historyHost}.tamsel-bb-aside`;
      const hadHistory = fs.existsSync(historyHost);
      if (hadHistory) fs.renameSync(historyHost, aside);
      // A file where the records' folder belongs.
      fs.writeFileSync(historyHost, 'not a folder');
      try {
        const before = drive();
        const r = await build.run(['--clean', 'windows-bt']);
        assert.equal(r.code, 1, r.stdout);
        assert.deepEqual(lines(r.stdout), [`[err] ${NOT_BEGUN}`]);
        assert.deepEqual(diffListings(before, drive()), NOTHING);

        const srv = await build.start([]);
        try {
          await srv.waitFor(READY, 15_000);
          assert.equal((await srv.post('/api/clean', { items: ['windows-bt'], dryRun: false })).text,
            `{"ok":false,"message":"${NOT_BEGUN}"}`);
          const st = (await srv.get('/api/status')).json;
          assert.equal(st.busy, false);
          // A dry run keeps no record and still runs.
          assert.equal((await srv.post('/api/clean', { items: ['windows-bt'], dryRun: true })).json.started, true);
          await waitTask(srv);
        } finally {
          await srv.stop();
        }
        assert.deepEqual(diffListings(before, drive()), NOTHING);
        assert.equal(fs.readFileSync(historyHost, 'utf8'), 'not a folder');
      } finally {
        fs.rmSync(historyHost, { force: true });
        if (hadHistory) fs.renameSync(aside, historyHost);
      }
    });
  });
}
