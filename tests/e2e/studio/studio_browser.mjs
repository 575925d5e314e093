// The studio in a real browser: Debian's chromium, headless, driven by playwright-core. Starts
// `tolvaris studio` on a free loopback port, drags out a domain, applies Campfire, scrubs to frame
// 20 and looks for the live fire in a screenshot, changes a display setting, looks at the rendered
// view from two cameras and at Preview render's image, bakes, exports VDB files and saves; the
// saved scene then bakes from the command line into the same cache.
//
//   node studio_browser.mjs TOLVARIS WEB_FOLDER OUT_FOLDER
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';

const [tolvaris, webFolder, outFolder] = process.argv.slice(2).map((a) => path.resolve(a));
const require = createRequire(path.join(webFolder, 'package.json'));
const SKIP = 77;
const chromiumPath = '/usr/bin/chromium';
if (!fs.existsSync(chromiumPath)) { console.log('SKIP: no /usr/bin/chromium'); process.exit(SKIP); }
let chromium;
try { ({ chromium } = require('playwright-core')); } catch { console.log(`SKIP: run 'npm ci' in ${webFolder}`); process.exit(SKIP); }

const fail = (message) => { throw new Error(message); };
const check = (ok, message) => { if (!ok) fail(message); console.log(`ok - ${message}`); };

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'tfr_studio_'));
const docs = path.join(work, 'docs');
fs.mkdirSync(docs);
fs.mkdirSync(outFolder, { recursive: true });
const sceneFile = path.join(work, 'scene.json');
fs.writeFileSync(sceneFile, JSON.stringify({
  format: 'tolvaris-scene', version: 1,
  time: { frameRate: 30, startFrame: 0, endFrame: 30, currentFrame: 0 },
  metresPerUnit: 0.01,
  nodes: [{ handle: 1, name: 'Log', position: { value: [0, 0, 0] },
    object: { class: 'Box', blocks: [{ id: 0, params: [
      { name: 'length', value: 60 }, { name: 'width', value: 60 }, { name: 'height', value: 12 }] }] } }],
}));

// Control ids: the domain's parameters show as 100000 + their id; the Simulate panel's own.
const P = (id) => 100000 + id;
const ids = { resolution: P(3), emitters: P(8), endFrame: P(34), vpMode: P(39), vpPoints: P(40), liveResolution: P(46),
  outPRT: P(63), outPreview: P(65), presets: 7502, apply: 7503, simulate: 7504, exportVdb: 7507, preview: 7508, liveText: 7512 };

const server = spawn(tolvaris, ['--documents', docs, 'studio', sceneFile, '--port', '0'], { stdio: ['ignore', 'pipe', 'inherit'] });
const url = await new Promise((resolve, reject) => {
  let out = '';
  server.stdout.on('data', (d) => { out += d; const m = out.match(/http:\/\/127\.0\.0\.1:\d+\/\w+\//); if (m) resolve(m[0]); });
  server.on('exit', (code) => reject(new Error(`tolvaris studio ended with ${code}`)));
  setTimeout(() => reject(new Error('tolvaris studio printed no address')), 20000);
});

const profile = fs.mkdtempSync(path.join(work, 'profile_'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: chromiumPath, headless: true, viewport: { width: 1280, height: 800 },
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', '--use-gl=swiftshader', '--enable-unsafe-swiftshader'],
});
let status = 1;
try {
  const page = context.pages()[0] ?? await context.newPage();
  page.on('pageerror', (e) => console.log(`page error: ${e.message}`));
  // Every address the page asks for carries the token; one without it would be refused (403).
  const refused = [];
  page.on('response', (r) => { if (r.status() === 403) refused.push(r.url()); });
  const studio = (expr) => page.evaluate(expr);
  const control = (id) => page.evaluate((cid) => window.studio.state?.panels.flatMap((p) => p.controls).find((c) => c.id === cid), id);
  const waitFor = (fn, arg, timeout = 60000) => page.waitForFunction(fn, arg, { timeout, polling: 100 });
  // Rolls a collapsed rollout open, as the user clicks its title.
  const reveal = async (id) => {
    const panel = page.locator(`details:has(#c-${id})`);
    if (!(await panel.evaluate((d) => d.open))) await panel.locator('summary').click();
  };
  const setValue = async (id, value) => {
    await reveal(id);
    const el = page.locator(`#c-${id}`);
    if (await el.evaluate((e) => e.tagName === 'SELECT')) await el.selectOption({ index: value });
    else { await el.fill(String(value)); await el.dispatchEvent('change'); }
    await waitFor(([cid, v]) => window.studio.state?.panels.flatMap((p) => p.controls).find((c) => c.id === cid)?.value === v, [id, value]);
  };
  const press = async (id) => {
    await reveal(id);
    const before = await studio(() => window.studio.done.length);
    await page.locator(`#c-${id}`).click();
    await waitFor(([cid, n]) => window.studio.done.slice(n).some((d) => d.id === cid), [id, before], 100000);
    return studio(() => window.studio.done.at(-1).result);
  };

  // Without the token nothing answers.
  const bare = url.replace(/\/\w+\/$/, '/');
  check((await (await fetch(`${bare}api/state`)).status) === 403, 'a request without the token is refused');

  await page.goto(url);
  await waitFor(() => window.studio.state !== null);
  // A desktop browser asks for the page's icon, or for /favicon.ico without the token when the page
  // names none (headless ones do not): whatever it would ask for must not be refused.
  const icon = await page.evaluate(async () => {
    const href = document.querySelector('link[rel~="icon"]')?.href ?? new URL('/favicon.ico', location.href).href;
    return href.startsWith('data:') ? 'inline' : String((await fetch(href)).status);
  });
  check(icon !== '403', `the page's icon is not refused (${icon})`);

  // Drag out a domain on the ground around the log.
  await page.locator('#create').click();
  const box = await page.locator('#viewport canvas').boundingBox();
  const cx = box.x + box.width / 2, cy = box.y + box.height / 2;
  await page.mouse.move(cx - 60, cy - 40);
  await page.mouse.down();
  for (let i = 1; i <= 8; ++i) await page.mouse.move(cx - 60 + 15 * i, cy - 40 + 10 * i);
  await page.mouse.up();
  await waitFor(() => window.studio.state.panels.some((p) => p.dialog === 7500));
  check(await studio(() => window.studio.state.nodes.filter((n) => n.class === 'TolvarisFire').length === 1), 'the dragged domain is created and edited');

  // Campfire, then a small grid so that the test stays quick.
  await page.locator(`#c-${ids.presets}`).selectOption({ label: 'Campfire' });
  await waitFor((cid) => window.studio.state.panels.flatMap((p) => p.controls).find((c) => c.id === cid).items[
    window.studio.state.panels.flatMap((p) => p.controls).find((c) => c.id === cid).selected] === 'Campfire', ids.presets);
  check(await press(ids.apply) === 'succeeded', 'Apply runs');
  await waitFor(() => document.getElementById('status').textContent === 'Preset applied: Campfire.');
  check(true, 'the status says the preset applied');
  await setValue(ids.resolution, 24);
  await setValue(ids.liveResolution, 20);
  await setValue(ids.endFrame, 20);
  await reveal(ids.emitters);
  await page.locator(`.nodelist:has(#c-${ids.emitters}) select`).nth(1).selectOption('Log');
  await page.locator(`.nodelist:has(#c-${ids.emitters}) button`, { hasText: 'Add...' }).click();
  await waitFor((cid) => window.studio.state.panels.flatMap((p) => p.controls).find((c) => c.id === cid).value.includes('Log'), ids.emitters);
  check(true, 'the log is added as a source with Add...');
  for (const id of [ids.outPRT, ids.outPreview]) {
    if ((await control(id)).value) { await reveal(id); await page.locator(`#c-${id}`).uncheck(); await waitFor((cid) => !window.studio.state.panels.flatMap((p) => p.controls).find((c) => c.id === cid).value, id); }
  }

  // Scrub to frame 20: live mode follows the slider.
  await page.locator('#slider').focus();
  for (let f = 1; f <= 20; ++f) {
    await page.keyboard.press('ArrowRight');
    await waitFor((n) => window.studio.state.frame === n, f);
  }
  await waitFor(() => window.studio.displayFrame === 20 && window.studio.points > 0, undefined, 100000);
  await page.waitForTimeout(500);
  const liveText = (await control(ids.liveText)).text;
  check(/frame 20/.test(liveText), `live mode reached frame 20 (${liveText})`);
  const shot = async (name) => {
    const file = path.join(outFolder, name);
    await page.screenshot({ path: file });
    return page.evaluate(async (b64) => {
      // Warm pixels inside the screen rectangle of the domain's box (its orange edges).
      const img = new Image();
      img.src = `data:image/png;base64,${b64}`;
      await img.decode();
      const c = document.createElement('canvas');
      c.width = img.width; c.height = img.height;
      const g = c.getContext('2d');
      g.drawImage(img, 0, 0);
      const { data } = g.getImageData(0, 0, c.width, c.height);
      const r = window.studio.boxRect();
      const v = document.querySelector('#viewport').getBoundingClientRect();
      let warm = 0, box = 0, all = 0, sx = 0, sy = 0;
      for (let y = Math.ceil(v.top); y < Math.min(c.height, v.bottom); ++y)
        for (let x = Math.ceil(v.left); x < Math.min(c.width, v.right); ++x) {
          const i = 4 * (y * c.width + x), R = data[i], G = data[i + 1], B = data[i + 2];
          const inside = x >= r.x0 && x < r.x1 && y >= r.y0 && y < r.y1;
          if (R > 180 && Math.abs(R - 255) < 3 && Math.abs(G - 138) < 3 && Math.abs(B - 30) < 3) box += inside;
          else if (R > 150 && R > B + 80 && G < R) { warm += inside; ++all; sx += x; sy += y; }
        }
      // Where the warm pixels of the whole viewport lie on average.
      return { warm, box, rect: r, all, centre: all ? [Math.round(sx / all), Math.round(sy / all)] : null };
    }, fs.readFileSync(file).toString('base64'));
  };
  await page.evaluate(() => {
    window.studio.boxRect = () => {
      // The box edges are the lines drawn in the domain's orange; the page's own scene graph knows where.
      const canvas = document.querySelector('#viewport canvas'), rect = canvas.getBoundingClientRect();
      return window.studio.project(rect);
    };
  });
  const live = await shot('studio_live.png');
  console.log(`live frame: ${JSON.stringify(live)}`);

  // A display setting changes the drawing, not the live run: with the box alone, what was warm
  // inside the box beyond its own edges was the fire.
  await setValue(ids.vpMode, 4);
  await waitFor(() => window.studio.points === 0);
  const boxOnly = await shot('studio_box_only.png');
  check(live.warm - boxOnly.warm > 500, `live fire inside the box at frame 20 (${live.warm} warm pixels, ${boxOnly.warm} with the box alone)`);
  check((await control(ids.liveText)).text === liveText, 'the live run did not restart');
  await setValue(ids.vpMode, 0);
  await waitFor(() => window.studio.points > 0);

  // The rendered view: the frame rendered by the fire's own renderer from the page's camera, at the
  // viewport's size, under the box's lines; the points are hidden.
  const renders = () => studio(() => window.studio.rendered?.count ?? 0);
  const fullRender = async (n) => {
    await waitFor((k) => window.studio.rendered?.count > k && window.studio.rendered.full, n);
    await page.waitForTimeout(400);  // a later request the camera's rest may still send
    await waitFor(() => window.studio.rendered.full);
    return studio(() => window.studio.rendered);
  };
  await page.locator('#view-mode').selectOption('rendered');
  const first = await fullRender(0);
  const size = await studio(() => [document.getElementById('viewport').clientWidth, document.getElementById('viewport').clientHeight]);
  check(first.width === size[0] && first.height === size[1], `the rendered view has the viewport's size (${first.width} x ${first.height})`);
  const inside = (shot) => shot.centre && shot.centre[0] >= shot.rect.x0 && shot.centre[0] < shot.rect.x1 &&
    shot.centre[1] >= shot.rect.y0 && shot.centre[1] < shot.rect.y1;
  const rendered = await shot('studio_rendered.png');
  console.log(`rendered view: ${JSON.stringify(rendered)}`);
  check(rendered.warm - boxOnly.warm > 500 && inside(rendered),
    `the rendered fire lies inside the box on screen (${rendered.warm} warm pixels, centred at ${rendered.centre})`);
  check((await control(ids.liveText)).text === liveText, 'rendering did not restart the live run');

  // Orbit: the render follows the camera, and the fire stays inside the box where it now lies.
  const before = await renders();
  await page.mouse.move(cx + 40, cy + 60);
  await page.mouse.down();
  for (let i = 1; i <= 10; ++i) await page.mouse.move(cx + 40 + 18 * i, cy + 60 - 2 * i);
  await page.mouse.up();
  const second = await fullRender(before);
  const orbited = await shot('studio_rendered_orbit.png');
  console.log(`after orbiting: ${JSON.stringify(orbited)}`);
  const moved = Math.abs(orbited.rect.x0 - rendered.rect.x0) + Math.abs(orbited.rect.x1 - rendered.rect.x1);
  check(moved > 20 && JSON.stringify(second.camera) !== JSON.stringify(first.camera), `the box moved on screen by ${moved} pixels`);
  check(orbited.warm - boxOnly.warm > 500 && inside(orbited) &&
    Math.abs(orbited.centre[0] - rendered.centre[0]) + Math.abs(orbited.centre[1] - rendered.centre[1]) > 5,
    `the rendered fire followed the camera (centred at ${orbited.centre}, before ${rendered.centre})`);

  // Preview render shows its image in the page.
  check(await press(ids.preview) === 'succeeded', 'Preview render runs');
  await waitFor(() => window.studio.preview?.shown > 0);
  const preview = await studio(() => window.studio.preview);
  check(!(await page.locator('#preview').isHidden()) && preview.shown === preview.width,
    `Preview render's image shows in the page (${preview.title}, ${preview.width} x ${preview.height})`);
  await page.locator('#preview-close').click();
  await page.locator('#view-mode').selectOption('points');
  await waitFor(() => window.studio.points > 0);

  // SIMULATE with its progress, then Export VDB.
  check(await press(ids.simulate) === 'succeeded', 'SIMULATE runs to the end');
  const log = await studio(() => window.studio.progressLog);
  const last = log.filter((p) => p.total > 0).at(-1);
  check(last && last.done === last.total && last.total === 21, `progress reached the end (${JSON.stringify(last)})`);
  check(await press(ids.exportVdb) === 'succeeded', 'Export VDB runs');
  const vdbs = [];
  const walk = (d) => { for (const e of fs.readdirSync(d, { withFileTypes: true })) e.isDirectory() ? walk(path.join(d, e.name)) : vdbs.push(path.join(d, e.name)); };
  walk(docs);
  check(vdbs.filter((f) => f.endsWith('.vdb')).length >= 21, 'VDB files written');
  await shot('studio_baked.png');

  await page.locator('#save').click();
  await waitFor(() => document.getElementById('status').textContent.startsWith('Saved'));
  check(true, 'Save writes the scene');
  fs.copyFileSync(sceneFile, path.join(outFolder, 'saved_scene.json'));

  // The saved scene bakes from the command line into the same cache folder.
  const caches = vdbs.filter((f) => f.endsWith('.tfc'));
  const cacheDirs = new Set(caches.map((f) => path.dirname(f)));
  check(cacheDirs.size === 1 && caches.length === 21, `one cache folder of 21 frames (${cacheDirs.size}, ${caches.length})`);
  server.kill('SIGINT');
  await new Promise((r) => server.on('exit', r));
  const cli = spawnSync(tolvaris, ['--documents', docs, 'simulate', sceneFile], { encoding: 'utf8', timeout: 100000 });
  check(cli.status === 0, `the saved scene bakes from the command line: ${cli.stdout.trim()} ${cli.stderr.trim().split('\n').at(-1)}`);
  const after = [];
  const walk2 = (d) => { for (const e of fs.readdirSync(d, { withFileTypes: true })) e.isDirectory() ? walk2(path.join(d, e.name)) : after.push(path.join(d, e.name)); };
  walk2(docs);
  const newer = after.filter((f) => f.endsWith('.tfc'));
  check(newer.length === 21 && newer.every((f) => cacheDirs.has(path.dirname(f))), 'the bake went into the same cache');
  check(refused.length === 0, `the page asked for nothing without the token (${refused.join(', ')})`);
  status = 0;
} catch (e) {
  console.log(`not ok - ${e.message}`);
} finally {
  await context.close();
  if (server.exitCode === null) server.kill('SIGKILL');
  fs.rmSync(work, { recursive: true, force: true });
}
process.exit(status);
