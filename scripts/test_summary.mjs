// The end of a test run: every skipped test with its reason, and every
// Windows test whose output wine's own processes still held open after the
// test had ended (cmake/wine-run.sh stops waiting for those and says so),
// read from what the run left in one folder:
//   *.xml          ctest's JUnit files (--output-junit)
//   *.tap          node's TAP reports (--test-reporter=tap)
//   leftovers.log  one line per such Windows test, from cmake/wine-run.sh
//   restarts.log   one line per test helper (the HTTPS test service) that wine
//                  did not start at the first try and that was started again;
//                  more than two fail the run
// No test is ever run twice.
//
//   node scripts/test_summary.mjs RESULTS_DIR

import fs from 'node:fs';
import path from 'node:path';

const dir = process.argv[2];
if (!dir) {
  console.error('usage: test_summary.mjs RESULTS_DIR');
  process.exit(2);
}
const files = fs.existsSync(dir) ? fs.readdirSync(dir).sort() : [];
const skips = [];  // [source, test, reason]

function xmlText(s) {
  return s.replace(/&lt;/g, '<').replace(/&gt;/g, '>').replace(/&quot;/g, '"')
    .replace(/&apos;/g, "'").replace(/&amp;/g, '&');
}

// A GoogleTest skip prints "<file>:<line>: Skipped" and then its message,
// up to the "[  SKIPPED ]" line; a skip without message has none.
function gtestReason(out) {
  const lines = xmlText(out).split('\n');
  const at = lines.findIndex((l) => /: Skipped$/.test(l));
  if (at < 0) return '(no reason printed)';
  const reason = [];
  for (const l of lines.slice(at + 1)) {
    if (l.startsWith('[  SKIPPED ]')) break;
    if (l.trim()) reason.push(l.trim());
  }
  return reason.join(' ') || '(no reason given)';
}

for (const f of files) {
  const text = fs.readFileSync(path.join(dir, f), 'utf8');
  const source = f.replace(/\.(xml|tap)$/, '');
  if (f.endsWith('.xml')) {
    for (const m of text.matchAll(/<testcase name="([^"]*)"[^>]*>([\s\S]*?)<\/testcase>/g)) {
      if (!/<skipped\b/.test(m[2])) continue;
      const out = /<system-out>([\s\S]*?)<\/system-out>/.exec(m[2]);
      skips.push([source, xmlText(m[1]), out ? gtestReason(out[1]) : '(no output)']);
    }
  } else if (f.endsWith('.tap')) {
    for (const line of text.split('\n')) {
      const m = /^\s*(?:not )?ok \d+ - (.*?) # SKIP\b ?(.*)$/.exec(line);
      if (m) skips.push([source, m[1], m[2] || '(no reason given)']);
      const part = /^\s*# skip \(in part\): (.*)$/.exec(line);
      if (part) skips.push([source, '(part of a test)', part[1]]);
    }
  }
}

const lines = (name) => {
  const f = path.join(dir, name);
  return fs.existsSync(f) ? fs.readFileSync(f, 'utf8').split('\n').filter(Boolean) : [];
};
const held = lines('leftovers.log');
// Helpers a test needs that wine did not start at the first try (each one is
// started once more, and says so); more than two in one run fail it.
const restarts = lines('restarts.log');
const kMaxRestarts = 2;

console.log('');
console.log(`test summary: ${skips.length} skipped; ${held.length} Windows tests ended while wine's ` +
  'processes still held their output (not waited for)');
for (const [source, name, reason] of skips) console.log(`  skipped [${source}] ${name}: ${reason}`);
for (const h of held) console.log(`  held open: ${h}`);
if (restarts.length) {
  console.log(`${restarts.length} test helpers had to be started a second time (at most ${kMaxRestarts} pass):`);
  for (const r of restarts) console.log(`  started again: ${r}`);
}
if (restarts.length > kMaxRestarts) {
  console.log(`test summary: FAILED: more than ${kMaxRestarts} test helpers needed a second start`);
  process.exitCode = 1;
}
