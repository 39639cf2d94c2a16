// Which builds a test run covers, for the black-box and the browser tests.
//
// Every build is required: a build whose binary is missing (or, for the
// Windows build, wine) fails the run instead of quietly leaving it out, so
// that a run can never pass by not testing a build. A developer who wants
// fewer builds on purpose says so with TAMSEL_BUILDS ("native", "windows",
// or both separated by commas); a build left out that way shows as a
// skipped test with that reason, so the end-of-run summary lists it.

import fs from 'node:fs';
import { test } from 'node:test';

export const WINE_BIN = '/usr/lib/wine/wine64';
export const KINDS = ['native', 'windows'];

// The builds TAMSEL_BUILDS asks for; every kind when it is unset or empty.
// An unknown name is a mistake of the caller and ends the run.
export function wantedKinds() {
  const raw = (process.env.TAMSEL_BUILDS ?? '').trim();
  if (raw === '') return KINDS;
  const names = raw.split(',').map((s) => s.trim()).filter(Boolean);
  const unknown = names.filter((n) => !KINDS.includes(n));
  if (unknown.length > 0) {
    throw new Error(`TAMSEL_BUILDS names unknown builds: ${unknown.join(', ')} (known: ${KINDS.join(', ')})`);
  }
  return names;
}

// Why a build of `kind` at `binary` cannot run here, or null when it can.
export function missingReason(kind, binary) {
  if (!fs.existsSync(binary)) return `${kind} build missing (${binary})`;
  if (kind === 'windows' && !fs.existsSync(WINE_BIN)) return `wine missing (${WINE_BIN})`;
  return null;
}

// Decides whether the tests of one build run, and leaves a visible trace
// when they do not: a build left out by TAMSEL_BUILDS becomes a skipped test
// named `label` (reason: the variable), a required build that is missing a
// failing test of that name. Returns true when the build is there and
// wanted. Call it at the top level of a test file (or inside a describe).
export function requireBuild(kind, binary, label) {
  if (!wantedKinds().includes(kind)) {
    const reason = `TAMSEL_BUILDS=${process.env.TAMSEL_BUILDS} leaves out the ${kind} build`;
    console.log(`# ${label}: ${reason}`);
    test(`${label}: ${kind} build`, { skip: reason }, () => {});
    return false;
  }
  const missing = missingReason(kind, binary);
  if (missing) {
    test(`${label}: ${kind} build`, () => {
      throw new Error(`${missing}; build it, or set TAMSEL_BUILDS to test fewer builds on purpose`);
    });
    return false;
  }
  return true;
}
