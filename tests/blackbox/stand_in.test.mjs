// The stand-in's own promises through the real native program: a host name
// is kept byte for byte (a clean deletes an old file as itself, never a
// young one of another name), and no request reaches a host file outside
// the drive's folder. The Windows build has names of UTF-16 text and a real
// drive C:, so its run is skipped with that reason.

import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { builds } from './harness.mjs';
import { windowsEnv, waitTask } from './fixtures.mjs';

const STAND_IN_ONLY = 'the stand-in\'s host names of bytes and its drive folder exist in the native build only';

// Every entry below a host folder, names read as bytes: a name that is not
// UTF-8 is keyed with its bytes as \xHH, so that two such names never fold
// into one key. The program's own folder (settings, records, port) is left
// out.
function listBytes(root) {
  const out = new Map();
  const keyOf = (buf) => {
    const text = buf.toString('utf8');
    if (Buffer.from(text, 'utf8').equals(buf)) return text;
    return [...buf].map((b) => (b < 0x80 ? String.fromCharCode(b) : `\\x${b.toString(16).toUpperCase()}`)).join('');
  };
  const walk = (dir, rel) => {
    let names;
    try { names = fs.readdirSync(dir, { encoding: 'buffer' }); } catch { return; }
    for (const name of names) {
      const r = rel ? `${rel}/${keyOf(name)}` : keyOf(name);
      if (/\/AppData\/Local\/tamsel(\/|$)/i.test(r)) continue;
      const full = Buffer.concat([dir, Buffer.from('/'), name]);
      const st = fs.lstatSync(full, { bigint: true });
      if (st.isDirectory()) {
        out.set(r, 'dir');
        walk(full, r);
      } else {
        out.set(r, `${st.isSymbolicLink() ? 'link' : 'file'} ${st.size} ${st.mtimeNs}`);
      }
    }
  };
  walk(Buffer.from(root), '');
  return out;
}

function diff(before, after) {
  return {
    gone: [...before.keys()].filter((k) => !after.has(k)).sort(),
    added: [...after.keys()].filter((k) => !before.has(k)).sort(),
    changed: [...before.keys()].filter((k) => after.has(k) && after.get(k) !== before.get(k)).sort(),
  };
}

for (const build of builds()) {
  const skip = build.name === 'native' ? false : STAND_IN_ONLY;
  describe(`${build.name} stand-in: names and the drive's folder`, { timeout: 120_000 }, () => {
    test('an old file of a name that is not UTF-8 is cleaned as itself, never a young file of the name U+FFFD makes of it', { skip }, async () => {
      const env = windowsEnv(build);
      const dir = build.hostPath(`${env.TEMP}\\tamsel-bb-names`);
      fs.mkdirSync(dir, { recursive: true });
      const old = (Date.now() - 40 * 86400_000) / 1000;
      // [bytes of the name, size, old]
      const files = [
        [[0x61, 0xff], 1, true],
        [[0x61, 0xfe], 2, false],
        [[0x61, 0xef, 0xbf, 0xbd], 4, false],
        [[0x64, 0xed, 0xb3, 0xbf], 8, true],
        [[0x64, 0xef, 0xbf, 0xbd, 0xef, 0xbf, 0xbd, 0xef, 0xbf, 0xbd], 16, false],
      ];
      const tmpKey = path.relative(build.driveC, dir).split(path.sep).join('/');
      const expected = [];
      for (const [bytes, size, isOld] of files) {
        const name = Buffer.concat([Buffer.from(bytes), Buffer.from('.log')]);
        const host = Buffer.concat([Buffer.from(`${dir}/`), name]);
        fs.writeFileSync(host, Buffer.alloc(size, 0x78));
        if (isOld) {
          fs.utimesSync(host, old, old);
          expected.push(`${tmpKey}/${[...name].map((b) => (b < 0x80 ? String.fromCharCode(b) : `\\x${b.toString(16).toUpperCase()}`)).join('')}`);
        }
      }
      const before = listBytes(build.driveC);
      assert.equal(before.size >= files.length + 1, true);
      const r = await build.run(['--clean', 'user-temp', '--older-than', '30']);
      assert.equal(r.code, 0, r.stdout + r.stderr);
      assert.deepEqual(diff(before, listBytes(build.driveC)), { gone: expected.sort(), added: [], changed: [] });
      fs.rmSync(dir, { recursive: true, force: true });
    });

    test('the space map shows a name that is not UTF-8 with U+FFFD, in documents of valid UTF-8', { skip }, async () => {
      const env = windowsEnv(build);
      const win = `${env.USERPROFILE}\\tamsel-bb-map-names`;
      const dir = build.hostPath(win);
      fs.mkdirSync(dir, { recursive: true });
      // [bytes of the name, what the map shows]
      const names = [
        [[0x61, 0xff, 0xfe], 'a\uFFFD\uFFFD'],
        [[0x68, 0xe4, 0xb8], 'h\uFFFD\uFFFD'],
        [[0x62, 0x5c, 0x63], 'b\uFFFDc'],
        [[0x7a, 0xe4, 0xb8, 0xad], 'z中'],
      ];
      names.forEach(([bytes], k) => fs.writeFileSync(Buffer.concat([Buffer.from(`${dir}/`), Buffer.from(bytes), Buffer.from('.bin')]),
        Buffer.alloc(1_000_000 + k, 0x78)));
      const before = listBytes(build.driveC);
      const srv = await build.start([]);
      try {
        assert.equal((await srv.post('/api/map', { root: win })).json?.ok, true);
        await waitTask(srv, 120_000);
        const utf8 = (r) => new TextDecoder('utf-8', { fatal: true }).decode(r.bytes);
        const dirDoc = JSON.parse(utf8(await srv.get(`/api/map/dir?path=${encodeURIComponent(win)}`)));
        assert.deepEqual(dirDoc.children.map((c) => [c.name, c.bytes]), [['', 4_000_006]]);
        const top = JSON.parse(utf8(await srv.get('/api/map/top')));
        assert.deepEqual(top.files.map((f) => f.path).sort(),
          names.map(([, shown], k) => `${win}\\${shown}.bin`).sort());
        JSON.parse(utf8(await srv.get('/api/map/kinds')));
      } finally {
        await srv.stop();
      }
      assert.deepEqual(diff(before, listBytes(build.driveC)), { gone: [], added: [], changed: [] });
      fs.rmSync(dir, { recursive: true, force: true });
    });

    describe('a path that climbs out of the drive', { skip }, () => {
      let srv;
      const secret = () => path.join(build.root, 'outside-secret.txt');
      before(async () => {
        fs.writeFileSync(secret(), 'not the drive\'s');
        srv = await build.start([]);
      });
      after(async () => {
        if (srv) await srv.stop();
        fs.rmSync(secret(), { force: true });
      });

      test('reaches no host file: a file outside and a missing one get the same answers, and nothing changes', async () => {
        const beforeDrive = listBytes(build.driveC);
        const beforeRoot = fs.readdirSync(build.root).sort();
        const answers = async (name) => {
          const out = [];
          for (const p of [`C:\\..\\${name}`, `C:/../${name}`, `C:\\Users\\..\\..\\${name}`, `C:..\\c\\..\\${name}`]) {
            out.push((await srv.post('/api/shell/reveal', { path: p })).text);
            out.push((await srv.get(`/api/map/dir?path=${encodeURIComponent(p)}`)).text);
            out.push((await srv.post('/api/map/recycle', { paths: [p] })).text);
          }
          return out;
        };
        const there = await answers('outside-secret.txt');
        const missing = await answers('outside-missing.txt');
        assert.deepEqual(there, missing);
        assert.equal(fs.readFileSync(secret(), 'utf8'), 'not the drive\'s');
        assert.deepEqual(fs.readdirSync(build.root).sort(), beforeRoot);
        assert.deepEqual(diff(beforeDrive, listBytes(build.driveC)), { gone: [], added: [], changed: [] });
      });
    });
  });
}
