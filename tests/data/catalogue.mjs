// The built-in catalogue as the program documents it, read from
// catalogue.json beside this file: the one copy every test compares with
// (the unit tests get it compiled in through gen_catalogue_table.py, the
// black-box and browser tests through this module). Categories and items in
// display order; target paths as declared, with their environment
// references (expandedCatalogue() in tests/blackbox/fixtures.mjs turns them
// into what a given build reports).

import fs from 'node:fs';

export const CATALOGUE = JSON.parse(fs.readFileSync(new URL('./catalogue.json', import.meta.url), 'utf8'));

const ITEMS = CATALOGUE.flatMap((c) => c.items);

// Counts the interface and the documents show.
export const CATEGORY_COUNT = CATALOGUE.length;
export const ITEM_COUNT = ITEMS.length;
export const TARGET_COUNT = ITEMS.reduce((n, i) => n + i.targets.length, 0);
export const DEFAULT_COUNT = ITEMS.filter((i) => i.defaultEnabled).length;
