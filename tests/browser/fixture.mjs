// The populated drive C: of the native browser tests. Every file says which
// catalogue items select it (`items`), so a test can compute what a scan
// must find and what a clean must remove; files with no item are personal
// or configuration data that no clean may touch.

import { USER } from './lib.mjs';

const MiB = 1024 * 1024;
const HOUR = 3_600_000;
const DAY = 24 * HOUR;

// 2024-03-12 10:15 UTC: 18:15 in Asia/Shanghai, where the browser runs.
export const T0 = Date.UTC(2024, 2, 12, 10, 15);

const PROFILE = `Users\\${USER}`;
const LOCAL = `${PROFILE}\\AppData\\Local`;
const ROAMING = `${PROFILE}\\AppData\\Roaming`;
const TEMP = `${LOCAL}\\Temp`;
const CHROME = `${LOCAL}\\Google\\Chrome\\User Data\\Default`;

export const CHROME_CACHE_FILES = 350;

export function fixtureEntries() {
  const e = [
    // %TEMP%: four files of clearly different sizes and ages, for sorting.
    { path: `${TEMP}\\setup_log.txt`, size: 1200, mtime: T0 - 3 * DAY, items: ['user-temp'] },
    { path: `${TEMP}\\big.bin`, size: 5 * MiB, mtime: T0, items: ['user-temp'] },
    { path: `${TEMP}\\sub\\nested.dat`, size: 300_000, mtime: T0 - 40 * DAY, items: ['user-temp'] },
    // Selected by two items at once: counted by both in a scan, deleted once.
    { path: `${TEMP}\\cache.tmp`, size: 4096, mtime: T0 - HOUR, items: ['user-temp', 'local-tmp-log'] },

    { path: `${LOCAL}\\SomeApp\\debug.log`, size: 20_000, items: ['local-tmp-log'] },
    { path: `${LOCAL}\\SomeApp\\logs\\old.log`, size: 7000, items: ['local-tmp-log'] },
    { path: `${LOCAL}\\SomeApp\\settings.ini`, size: 512, items: [] },
    { path: `${LOCAL}\\CrashDumps\\app.exe.4242.dmp`, size: 50_000, items: ['sys-dmp'] },

    { path: `${ROAMING}\\Vendor\\x.tmp`, size: 1500, items: ['roaming-tmp-log'] },
    { path: `${ROAMING}\\Vendor\\config.json`, size: 300, items: [] },
    { path: `${ROAMING}\\Microsoft\\Windows\\Recent\\doc1.lnk`, size: 900, items: ['recent-lnk'] },
    { path: `${ROAMING}\\Microsoft\\Windows\\Recent\\notes.txt`, size: 100, items: [] },

    { path: `${CHROME}\\Bookmarks`, size: 2000, items: [] },
    { path: `${CHROME}\\History`, size: 5000, items: [] },

    { path: `${PROFILE}\\Downloads\\tool_setup.exe`, size: 2 * MiB, items: ['downloads-installer'] },
    { path: `${PROFILE}\\Downloads\\archive.zip`, size: 40_000, items: ['downloads-installer'] },
    { path: `${PROFILE}\\Downloads\\report.docx`, size: 8000, items: [] },
    { path: `${PROFILE}\\Downloads\\movie.mp4`, size: 3 * MiB, items: ['downloads-video'] },

    // Chat data: measured, never deleted, never listed.
    { path: `${PROFILE}\\Documents\\WeChat Files\\wxid_abc\\Msg\\MSG0.db`, size: 100_000, items: ['wechat3-data'] },
    { path: `${PROFILE}\\Documents\\thesis.docx`, size: 9000, items: [] },
    { path: `${PROFILE}\\Desktop\\note.txt`, size: 50, items: [] },

    { path: 'Windows\\Logs\\CBS\\CBS.log', size: 64_000, items: ['sys-logs'] },
    // The Prefetch target excludes names ending in .pf.
    { path: 'Windows\\Prefetch\\APP.EXE-1234ABCD.pf', size: 30_000, items: [] },
    { path: 'Windows\\Prefetch\\Layout.ini', size: 800, items: ['prefetch'] },

    { path: '$Recycle.Bin\\S-1-5-21-1\\$RABC123.txt', size: 6000, items: [] },
  ];
  for (let i = 0; i < CHROME_CACHE_FILES; i++) {
    e.push({
      path: `${CHROME}\\Cache\\Cache_Data\\f_${String(i).padStart(6, '0')}`,
      size: 1000 + 7 * i,
      mtime: T0 - i * 60_000,
      items: ['chrome-cache'],
    });
  }
  return e;
}

// Bytes and files an item's scan must report.
export function itemTotals(entries, id) {
  let bytes = 0;
  let files = 0;
  for (const f of entries) if (f.items.includes(id)) { bytes += f.size; files++; }
  return { bytes, files };
}

// Host paths (as listTree prints them, relative to drive C) of the files a
// real clean of `ids` must delete.
export function deletedBy(entries, ids) {
  return entries.filter((f) => f.items.some((i) => ids.includes(i)))
    .map((f) => f.path.split('\\').join('/'));
}

export { MiB, TEMP, LOCAL, ROAMING, PROFILE };
