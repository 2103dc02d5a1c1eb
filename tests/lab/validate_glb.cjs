// Every .glb of a report validates under the Khronos glTF validator.
// usage: node validate_glb.cjs REPORT_DIR   (NODE_PATH: the viewer's node_modules)
const fs = require('fs');
const path = require('path');
const validator = require('gltf-validator');

(async () => {
  const dir = path.join(process.argv[2], 'models');
  const files = fs.readdirSync(dir).filter((f) => f.endsWith('.glb'));
  if (files.length === 0) throw new Error(`${dir}: no .glb files`);
  let failed = false;
  for (const f of files) {
    const report = await validator.validateBytes(new Uint8Array(fs.readFileSync(path.join(dir, f))));
    const { numErrors, numWarnings, messages } = report.issues;
    console.log(`${f}: ${numErrors} errors, ${numWarnings} warnings`);
    for (const m of messages.filter((m) => m.severity <= 1)) console.log(`  ${m.code} ${m.pointer || ''}: ${m.message}`);
    if (numErrors > 0) failed = true;
  }
  process.exit(failed ? 1 : 0);
})().catch((e) => {
  console.error(e);
  process.exit(1);
});
