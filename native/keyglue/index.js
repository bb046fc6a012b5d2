'use strict';
// The module is found by node-gyp-build in this package's folder: build/Release first (in a
// checkout, a link to the module of the last default build), then the prebuild for this platform
// under prebuilds/ (an installed package). KEYGLUE_PREBUILD names another folder to look in.
module.exports = require('node-gyp-build')(__dirname);
