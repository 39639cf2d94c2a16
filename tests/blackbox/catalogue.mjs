// The documented catalogue, from which the expected rules document is
// built; the data is tests/data/catalogue.json, shared with the unit and
// browser tests.
export { CATALOGUE, CATEGORY_COUNT, ITEM_COUNT, TARGET_COUNT, DEFAULT_COUNT } from '../data/catalogue.mjs';
