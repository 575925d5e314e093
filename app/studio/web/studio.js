// The studio page: draws what the host sends (the panels, the display items, the time slider and
// progress) and sends the user's input back. It keeps no state of the scene.
import * as THREE from 'three';
import { OrbitControls } from 'three/addons/controls/OrbitControls.js';

const $ = (id) => document.getElementById(id);
const post = async (name, body) => {
  const res = await fetch(`api/${name}`, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body ?? {}) });
  return res.json().catch(() => ({}));
};

// ---- viewport -------------------------------------------------------------------------------
const host = $('viewport');
// Transparent where nothing is drawn, so that the rendered view can lie under it.
const renderer = new THREE.WebGLRenderer({ antialias: true, preserveDrawingBuffer: true, alpha: true });
renderer.setPixelRatio(window.devicePixelRatio);
host.appendChild(renderer.domElement);
const scene = new THREE.Scene();
const backdrop = new THREE.Color(0x3a3d42);
scene.background = backdrop;
const camera = new THREE.PerspectiveCamera(45, 1, 0.1, 1e6);
camera.up.set(0, 0, 1);
camera.position.set(300, -500, 300);
const controls = new OrbitControls(camera, renderer.domElement);
const grid = new THREE.GridHelper(1000, 20, 0x555555, 0x4a4a4a);
grid.rotation.x = Math.PI / 2;
scene.add(grid);
const drawn = new THREE.Group();
scene.add(drawn);
let framed = '';

function resize() {
  const w = host.clientWidth, h = host.clientHeight;
  renderer.setSize(w, h, false);
  camera.aspect = w / Math.max(h, 1);
  camera.updateProjectionMatrix();
}
window.addEventListener('resize', () => { resize(); viewMoved(); });
resize();
(function animate() { requestAnimationFrame(animate); controls.update(); renderer.render(scene, camera); })();

function decode(b64, Type) {
  const bytes = Uint8Array.from(atob(b64), (c) => c.charCodeAt(0));
  return new Type(bytes.buffer);
}

function frameBounds(bounds) {
  const min = new THREE.Vector3(...bounds[0]), max = new THREE.Vector3(...bounds[1]);
  const centre = min.clone().add(max).multiplyScalar(0.5);
  const radius = Math.max(min.distanceTo(max) / 2, 1);
  controls.target.copy(centre);
  camera.position.copy(centre).add(new THREE.Vector3(0.9, -1.6, 0.9).normalize().multiplyScalar(radius * 3));
  camera.near = radius / 100; camera.far = radius * 100;
  camera.updateProjectionMatrix();
  grid.scale.setScalar(radius / 250);
}

function showDisplay(display) {
  for (const child of [...drawn.children]) { child.geometry.dispose(); child.material.dispose(); drawn.remove(child); }
  let points = 0;
  for (const batch of display.batches) {
    const geometry = new THREE.BufferGeometry();
    geometry.setAttribute('position', new THREE.BufferAttribute(decode(batch.positions, Float32Array), 3));
    const rgba = decode(batch.colours, Uint8Array), rgb = new Uint8Array(batch.count * 3);
    for (let i = 0; i < batch.count; ++i) { rgb[3 * i] = rgba[4 * i]; rgb[3 * i + 1] = rgba[4 * i + 1]; rgb[3 * i + 2] = rgba[4 * i + 2]; }
    geometry.setAttribute('color', new THREE.BufferAttribute(rgb, 3, true));
    if (batch.type === 'lines') {
      drawn.add(new THREE.LineSegments(geometry, new THREE.LineBasicMaterial({ vertexColors: true })));
    } else {
      points += batch.count;
      const cloud = new THREE.Points(geometry, new THREE.PointsMaterial({ vertexColors: true, size: Math.max(batch.pointSize, 3), sizeAttenuation: false }));
      cloud.visible = viewMode === 'points';
      drawn.add(cloud);
    }
  }
  // The view takes in the whole scene when it first shows and whenever the scene's extent changes
  // (a domain made or resized); orbiting in between is left alone.
  const extent = JSON.stringify(display.bounds);
  // Never during a drag: the points under the mouse would slide away.
  if (display.bounds && extent !== framed && !dragging) { frameBounds(display.bounds); framed = extent; }
  window.studio.points = points;
  window.studio.displayFrame = display.frame;
  // A new frame or setting: rendered again, small while the slider moves or plays.
  if (viewMode === 'rendered') requestRender(playing || sliding);
}

let displayBusy = false, displayAgain = false;
async function refreshDisplay() {
  if (displayBusy) { displayAgain = true; return; }
  displayBusy = true;
  try { showDisplay(await (await fetch('api/display')).json()); } finally { displayBusy = false; }
  if (displayAgain) { displayAgain = false; refreshDisplay(); }
}

// Where the domain's box (its orange edges) lies on the page, for tests that look at screenshots.
function boxOnScreen(rect) {
  const out = { x0: Infinity, y0: Infinity, x1: -Infinity, y1: -Infinity };
  const v = new THREE.Vector3();
  for (const child of drawn.children) {
    if (!child.isLineSegments) continue;
    const pos = child.geometry.attributes.position, col = child.geometry.attributes.color;
    for (let i = 0; i < pos.count; ++i) {
      if (col.array[3 * i] !== 255 || col.array[3 * i + 1] !== 138 || col.array[3 * i + 2] !== 30) continue;
      v.fromBufferAttribute(pos, i).project(camera);
      const x = rect.left + (v.x + 1) / 2 * rect.width, y = rect.top + (1 - v.y) / 2 * rect.height;
      out.x0 = Math.min(out.x0, Math.floor(x)); out.x1 = Math.max(out.x1, Math.ceil(x));
      out.y0 = Math.min(out.y0, Math.floor(y)); out.y1 = Math.max(out.y1, Math.ceil(y));
    }
  }
  return out;
}

// ---- the rendered view -------------------------------------------------------------------------
// The frame the domain shows, rendered by the fire's own renderer from this camera at the
// viewport's size (a third of it while the camera moves or the slider plays, the full size once
// they rest) and laid under the canvas, whose lines (the meshes, the domain's box) stay on top.
let viewMode = 'points';
let renderBusy = false, renderPending = null, restTimer = 0, renderUrl = null;

// The camera and size for the server; at least 64 pixels a side, the viewport's aspect kept.
function viewRequest(scale) {
  const w = Math.max(1, host.clientWidth), h = Math.max(1, host.clientHeight);
  const s = Math.min(Math.max(scale, 64 / Math.min(w, h)), 4096 / Math.max(w, h));
  return { camera: { position: camera.position.toArray(), target: controls.target.toArray(), up: camera.up.toArray(), fov: camera.fov },
    width: Math.round(w * s), height: Math.round(h * s) };
}

function renderNote(text) { $('render-note').textContent = text; $('render-note').hidden = !text; }

async function sendRender(scale) {
  if (renderBusy) { renderPending = scale; return; }
  renderBusy = true;
  const body = viewRequest(scale);
  try {
    const res = await fetch('api/render', { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) });
    if (res.ok) {
      const url = URL.createObjectURL(await res.blob());
      const img = $('rendered');
      await new Promise((resolve) => { img.onload = resolve; img.onerror = resolve; img.src = url; });
      if (renderUrl) URL.revokeObjectURL(renderUrl);
      renderUrl = url;
      img.hidden = viewMode !== 'rendered';
      renderNote('');
      window.studio.rendered = { count: (window.studio.rendered?.count ?? 0) + 1, full: scale === 1, ...body };
    } else {
      const r = await res.json().catch(() => ({}));
      // While a command runs the last image stays; anything else is said where the image was.
      if (!r.ignored) { $('rendered').hidden = true; renderNote(r.message ?? `render failed (${res.status})`); }
    }
  } finally { renderBusy = false; }
  if (renderPending !== null) { const next = renderPending; renderPending = null; sendRender(next); }
}

function requestRender(moving) {
  clearTimeout(restTimer);
  if (moving) { sendRender(1 / 3); restTimer = setTimeout(() => sendRender(1), 300); } else sendRender(1);
}

// The camera moved: the rendered view follows; the host's active view (Preview render looks
// through it) follows once the camera rests.
function viewMoved() {
  if (viewMode === 'rendered') { requestRender(true); return; }
  clearTimeout(restTimer);
  restTimer = setTimeout(() => post('view', viewRequest(1)), 300);
}
controls.addEventListener('change', viewMoved);

function setViewMode(mode) {
  viewMode = mode;
  const rendered = mode === 'rendered';
  scene.background = rendered ? null : backdrop;
  grid.visible = !rendered;
  for (const child of drawn.children) if (child.isPoints) child.visible = !rendered;
  $('rendered').hidden = !rendered || !renderUrl;
  renderNote('');
  if (rendered) requestRender(false);
}
$('view-mode').addEventListener('change', () => setViewMode($('view-mode').value));

// Preview render's image, shown over the viewport until closed.
async function showPreview(info) {
  const res = await fetch('api/preview.png');
  if (!res.ok) return;
  const figure = $('preview'), img = figure.querySelector('img');
  const old = img.src, blob = await res.blob();
  await new Promise((resolve) => { img.onload = resolve; img.onerror = resolve; img.src = URL.createObjectURL(blob); });
  if (old.startsWith('blob:')) URL.revokeObjectURL(old);
  figure.querySelector('figcaption').textContent = `${info.title} (${info.width} x ${info.height})`;
  figure.hidden = false;
  window.studio.preview = { ...info, shown: img.naturalWidth };
}
$('preview-close').addEventListener('click', () => { $('preview').hidden = true; });

// ---- creating a domain by dragging -----------------------------------------------------------
let creating = false, dragging = false;
const raycaster = new THREE.Raycaster();
function ray(event) {
  const r = renderer.domElement.getBoundingClientRect();
  raycaster.setFromCamera(new THREE.Vector2(((event.clientX - r.left) / r.width) * 2 - 1, -((event.clientY - r.top) / r.height) * 2 + 1), camera);
  return { origin: raycaster.ray.origin.toArray(), direction: raycaster.ray.direction.toArray() };
}
$('create').addEventListener('click', () => {
  creating = !creating;
  controls.enabled = !creating;
  $('create').classList.toggle('active', creating);
});
renderer.domElement.addEventListener('pointerdown', (e) => {
  if (!creating || e.button !== 0) return;
  dragging = true;
  renderer.domElement.setPointerCapture(e.pointerId);
  post('create', { msg: 'point', ...ray(e) });
});
renderer.domElement.addEventListener('pointermove', (e) => { if (dragging) post('create', { msg: 'move', ...ray(e) }); });
renderer.domElement.addEventListener('pointerup', async (e) => {
  if (!dragging) return;
  dragging = false;
  const r = await post('create', { msg: 'point', ...ray(e) });
  if (r.result === 'created' || r.result === 'aborted') { creating = false; controls.enabled = true; $('create').classList.remove('active'); }
});
window.addEventListener('keydown', (e) => { if (e.key === 'Escape' && dragging) { dragging = false; post('create', { msg: 'abort' }); } });

// ---- panels -----------------------------------------------------------------------------------
let nodeNames = [];
const updaters = new Map();
let layout = '';

function send(id, value) {
  post('input', { id, value }).then((r) => { if (r.ok === false) $('status').textContent = r.message; });
}

function row(c, cls) {
  const div = document.createElement('div');
  div.className = `control ${cls}`;
  if (c.label !== undefined && c.kind !== 'button') {
    const label = document.createElement('label');
    label.textContent = c.label;
    div.appendChild(label);
  }
  return div;
}

const hex = (rgb) => '#' + rgb.map((v) => Math.round(v * 255).toString(16).padStart(2, '0')).join('');
const unhex = (s) => [1, 3, 5].map((i) => parseInt(s.slice(i, i + 2), 16) / 255);
const fill = (select, names, withNone) => {
  select.replaceChildren(...(withNone ? ['(none)'] : []).concat(names).map((n) => new Option(n, n)));
};

function buildControl(c) {
  let div, el;
  switch (c.kind) {
    case 'text':
      div = row(c, c.status ? 'text status' : 'text');
      updaters.set(c.id, (d) => { div.textContent = d.text; });
      break;
    case 'button':
      div = row(c, 'button');
      el = document.createElement('button');
      el.textContent = c.label;
      el.addEventListener('click', () => send(c.id));
      div.appendChild(el);
      updaters.set(c.id, () => {});
      break;
    case 'dropdown': case 'radio':
      div = row(c, c.kind);
      el = document.createElement('select');
      el.addEventListener('change', () => send(c.id, el.selectedIndex));
      div.appendChild(el);
      updaters.set(c.id, (d) => { fill(el, d.items); el.selectedIndex = c.kind === 'radio' ? d.value : d.selected; });
      break;
    case 'edit': case 'path':
      div = row(c, c.kind);
      el = document.createElement('input');
      el.type = 'text';
      el.addEventListener('change', () => send(c.id, el.value));
      div.appendChild(el);
      updaters.set(c.id, (d) => { el.value = c.kind === 'edit' ? d.text : d.value; });
      break;
    case 'spinner':
      div = row(c, 'spinner');
      el = document.createElement('input');
      el.type = 'number';
      el.step = c.integer ? 1 : 'any';
      el.addEventListener('change', () => send(c.id, Number(el.value)));
      div.appendChild(el);
      updaters.set(c.id, (d) => { el.value = d.integer ? d.value : Number(d.value.toPrecision(6)); });
      break;
    case 'checkbox':
      div = row(c, 'checkbox');
      el = document.createElement('input');
      el.type = 'checkbox';
      el.addEventListener('change', () => send(c.id, el.checked));
      div.appendChild(el);
      updaters.set(c.id, (d) => { el.checked = d.value; });
      break;
    case 'colour':
      div = row(c, 'colour');
      el = document.createElement('input');
      el.type = 'color';
      el.addEventListener('change', () => send(c.id, unhex(el.value)));
      div.appendChild(el);
      updaters.set(c.id, (d) => { el.value = hex(d.value); });
      break;
    case 'node':
      div = row(c, 'node');
      el = document.createElement('select');
      el.addEventListener('change', () => send(c.id, el.selectedIndex === 0 ? null : el.value));
      div.appendChild(el);
      updaters.set(c.id, (d) => { fill(el, nodeNames, true); el.value = d.value ?? '(none)'; });
      break;
    case 'nodelist': {
      div = row(c, 'nodelist');
      div.style.flexWrap = 'wrap';
      const list = document.createElement('select');
      list.size = 3;
      const pick = document.createElement('select');
      const add = document.createElement('button'), remove = document.createElement('button');
      [add.textContent, remove.textContent] = c.buttons;
      add.addEventListener('click', () => send(c.id, { add: pick.value }));
      remove.addEventListener('click', () => { if (list.selectedIndex >= 0) send(c.id, { remove: list.selectedIndex }); });
      div.append(list, pick, add, remove);
      el = list;
      updaters.set(c.id, (d) => { fill(list, d.value.map((n) => n ?? '(deleted)')); fill(pick, nodeNames); });
      break;
    }
  }
  if (el) el.id = `c-${c.id}`;
  div.dataset.id = c.id;
  return div;
}

function showPanels(state) {
  const shape = JSON.stringify(state.panels.map((p) => [p.dialog, p.controls.map((c) => [c.id, c.kind])]));
  if (shape !== layout) {
    layout = shape;
    updaters.clear();
    $('panels').replaceChildren(...state.panels.map((p) => {
      const details = document.createElement('details');
      details.open = p.open;
      details.id = `panel-${p.dialog}`;
      const summary = document.createElement('summary');
      summary.textContent = p.title;
      details.append(summary, ...p.controls.map(buildControl));
      return details;
    }));
  }
  for (const p of state.panels) {
    for (const c of p.controls) {
      const el = document.getElementById(`c-${c.id}`);
      if (el && el === document.activeElement) continue;  // the user is typing there
      updaters.get(c.id)?.(c);
      if (c.status) $('status').textContent = c.text;
    }
  }
}

// ---- state, time slider and progress ---------------------------------------------------------
function showState(state) {
  window.studio.state = state;
  nodeNames = state.nodes.map((n) => n.name);
  showPanels(state);
  if (state.message) $('status').textContent = state.message;
  $('slider').min = state.start; $('slider').max = state.end;
  if (!sliding) { $('slider').value = state.frame; $('frame').value = state.frame; }
  $('stop').disabled = !state.busy;
  $('scene-name').textContent = state.scene;
  showProgress(state.busy ? state.progress : null);
}

function showProgress(p) {
  $('progress').hidden = !p;
  if (p) { $('progress').max = Math.max(p.total, 1); $('progress').value = p.done; }
  $('progress-text').textContent = p ? `${p.text} (${p.done} of ${p.total})` : '';
  window.studio.progress = p;
  if (p) window.studio.progressLog.push(p);
}

let sliding = false;
async function goTo(frame) {
  const r = await post('frame', { frame });
  if (r.ok) { $('frame').value = r.frame; if (!sliding) $('slider').value = r.frame; }
  return r;
}
// The slider moves the host's time at every frame it passes, as the host's own slider does; frames
// passed while the last move is still being evaluated fold into the newest.
let sliderBusy = false, sliderWanted = null;
async function slide() {
  if (sliderBusy) return;
  sliderBusy = true;
  while (sliderWanted !== null) {
    const frame = sliderWanted;
    sliderWanted = null;
    await goTo(frame);
  }
  sliderBusy = false;
  sliding = false;
}
$('slider').addEventListener('input', () => { sliding = true; sliderWanted = Number($('slider').value); slide(); });
$('frame').addEventListener('change', () => goTo(Number($('frame').value)));

let playing = false;
$('play').addEventListener('click', async () => {
  playing = !playing;
  $('play').textContent = playing ? 'Pause' : 'Play';
  while (playing) {
    const state = window.studio.state;
    const next = state.frame >= state.end ? state.start : state.frame + 1;
    const started = performance.now();
    await goTo(next);
    await new Promise((r) => setTimeout(r, Math.max(0, 1000 / state.frameRate - (performance.now() - started))));
  }
});
$('save').addEventListener('click', async () => { const r = await post('save'); $('status').textContent = r.message ?? ''; });
$('stop').addEventListener('click', () => post('stop'));

window.studio = { project: boxOnScreen, state: null, points: 0, displayFrame: null, progress: null, progressLog: [], done: [],
  rendered: null, preview: null };
const events = new EventSource('api/events');
events.addEventListener('state', (e) => { showState(JSON.parse(e.data)); refreshDisplay(); });
events.addEventListener('progress', (e) => showProgress(JSON.parse(e.data)));
events.addEventListener('done', (e) => window.studio.done.push(JSON.parse(e.data)));
events.addEventListener('preview', (e) => showPreview(JSON.parse(e.data)));
fetch('api/state').then((r) => r.json()).then((s) => { showState(s); refreshDisplay(); });
