'use strict';
// Loads the native module: beside this file in a packaged copy, otherwise from the project's
// default CMake build.
const fs = require('node:fs');
const path = require('node:path');

const candidates = [
  path.join(__dirname, 'keyglue.node'),
  path.join(__dirname, '..', '..', 'build', 'default', 'native', 'keyglue', 'keyglue.node'),
];
const found = candidates.find((file) => fs.existsSync(file));
if (!found) {
  throw new Error(`keyglue.node is not built; looked for ${candidates.join(' and ')}`);
}

module.exports = require(found);
