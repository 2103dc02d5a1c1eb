// The report's viewer, opened from disk in headless Chromium (WebGL through
// SwiftShader), shows the expected meshes in their textures, and its
// before/after and heat map toggles change what is drawn.
// usage: node viewer_test.cjs REPORT_DIR EXPECTED_MESHES [textured]   (NODE_PATH: the viewer's node_modules)
// With "textured" the report's cars have textures, which the game look shows
// and the heat map does not.
const path = require('path');
const puppeteer = require('puppeteer-core');

const browserPath = process.env.BWLAB_CHROMIUM || '/usr/bin/chromium-headless-shell';

(async () => {
  const [dir, expected, textures] = [path.resolve(process.argv[2]), Number(process.argv[3]), process.argv[4] === 'textured'];
  const browser = await puppeteer.launch({
    executablePath: browserPath,
    args: ['--no-sandbox', '--use-angle=swiftshader', '--enable-unsafe-swiftshader', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--no-first-run'],
  });
  try {
    const page = await browser.newPage();
    const problems = [];
    page.on('pageerror', (e) => problems.push(e.message));
    page.on('requestfailed', (r) => problems.push(`request failed: ${r.url()}`));
    page.on('request', (r) => { if (!/^(file|blob|data):/.test(r.url())) problems.push(`network request: ${r.url()}`); });
    await page.goto('file://' + path.join(dir, 'index.html'));
    await page.waitForFunction(() => window.bwViewer && ('ready' in window.bwViewer), { timeout: 60000 });
    const state = await page.evaluate(() => ({ ...window.bwViewer }));
    if (!state.ready) throw new Error(`viewer did not start: ${state.error}`);
    const frame = () => page.evaluate(() => document.getElementById('view3d').toDataURL('image/png'));
    const looks = {};
    for (const [label, heat] of [['before', false], ['after', false], ['after', true]]) {
      await page.evaluate((l, h) => { window.bwViewer.show(l); window.bwViewer.setHeat(h); }, label, heat);
      const s = await page.evaluate(() => ({ ...window.bwViewer }));
      if (s.meshCount !== expected) throw new Error(`${label}: ${s.meshCount} meshes shown, expected ${expected}`);
      if (heat || !textures ? s.textured !== 0 : s.textured === 0)
        throw new Error(`${label}${heat ? ' heat' : ''}: ${s.textured} textured meshes shown`);
      looks[`${label}${heat ? ' heat' : ''}`] = await frame();
    }
    if (looks.before === looks.after) throw new Error('before and after look the same');
    if (looks.after === looks['after heat']) throw new Error('the heat map changes nothing');
    if (problems.length) throw new Error(problems.join('\n'));
    console.log(`viewer: ${expected} meshes${textures ? ', textured' : ''}, before/after and heat map differ`);
  } finally {
    await browser.close();
  }
})().catch((e) => {
  console.error(e.message || e);
  process.exit(1);
});
