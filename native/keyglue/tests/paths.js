'use strict';
// Where the built modules and the key helper are: given by ctest for the preset it runs,
// otherwise the default build.
const path = require('node:path');

const buildDir = path.join(__dirname, '..', '..', '..', 'build', 'default', 'native', 'keyglue');

module.exports = {
  modulePath: process.env.KEYGLUE_MODULE || path.join(buildDir, 'keyglue.node'),
  testModulePath: process.env.KEYGLUE_TEST_MODULE || path.join(buildDir, 'keyglue_test.node'),
  keyHelperPath: process.env.KEYGLUE_KEY_HELPER || path.join(buildDir, 'keyglue_key_helper'),
  evdevKeyHelperPath:
    process.env.KEYGLUE_EVDEV_KEY_HELPER || path.join(buildDir, 'keyglue_key_helper_evdev'),
  packageDir: path.join(__dirname, '..'),
};
