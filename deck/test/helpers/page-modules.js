'use strict';
// Loads the page's ES modules (public/*.js) into node for the tests of its pure logic. The
// folder's package.json names no module type, so node works it out from the syntax; the
// warning it prints about that once is dropped here, every other warning still shows.
const path = require('node:path');
const { pathToFileURL } = require('node:url');

const shown = process.listeners('warning');
process.removeAllListeners('warning');
process.on('warning', (w) => w.code !== 'MODULE_TYPELESS_PACKAGE_JSON' && shown.forEach((l) => l(w)));

const pageModule = (name) => import(pathToFileURL(path.join(__dirname, '..', '..', 'public', name)).href);

module.exports = { pageModule };
