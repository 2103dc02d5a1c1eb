// The report's 3-D viewer: the snapshots' glTF models (in the cars' textures
// where they have them), orbit controls, a snapshot toggle and a heat map
// toggle. It runs from the report folder
// opened from disk, so everything it needs arrives through classic scripts
// (window.bwModels holds the models as base64).
import * as THREE from 'three';
import { GLTFLoader } from 'three/addons/loaders/GLTFLoader.js';
import { OrbitControls } from 'three/addons/controls/OrbitControls.js';

const status = document.getElementById('viewer-status');
const snapshotButton = document.getElementById('snapshot-toggle');
const heatButton = document.getElementById('heat-toggle');
const canvas = document.getElementById('view3d');

// Dark blue at rest, through cyan and yellow, to red at the scale (as the pictures).
const stops = [[0.16, 0.20, 0.42], [0.10, 0.65, 0.85], [0.35, 0.85, 0.35], [0.98, 0.85, 0.15], [0.90, 0.10, 0.08]];
function heatColour(fraction) {
  const f = Math.min(Math.max(Number.isFinite(fraction) ? fraction : 0, 0), 1) * 4;
  const i = Math.min(3, Math.floor(f));
  const t = f - i;
  return stops[i].map((c, k) => c + (stops[i + 1][k] - c) * t);
}

function bytesOf(base64) {
  const text = atob(base64);
  const bytes = new Uint8Array(text.length);
  for (let i = 0; i < text.length; ++i) bytes[i] = text.charCodeAt(i);
  return bytes.buffer;
}

// Each mesh keeps its game look and gets a heat look from its _HEAT attribute.
function prepare(gltf, heatScale) {
  const meshes = [];
  gltf.scene.traverse((o) => {
    if (!o.isMesh) return;
    meshes.push(o);
    const heat = o.geometry.getAttribute('_heat');
    const count = o.geometry.getAttribute('position').count;
    const colours = new Float32Array(3 * count);
    const colour = new THREE.Color();
    for (let i = 0; i < count; ++i) {
      // The scale is in display colours, as in the pictures; three.js blends in linear ones.
      colour.setRGB(...heatColour(heat ? heat.getX(i) / heatScale : 0), THREE.SRGBColorSpace);
      colours.set([colour.r, colour.g, colour.b], 3 * i);
    }
    o.userData.game = { material: o.material, colour: o.geometry.getAttribute('color') };
    o.userData.heat = {
      material: new THREE.MeshLambertMaterial({ vertexColors: true, side: THREE.DoubleSide }),
      colour: new THREE.BufferAttribute(colours, 3),
    };
  });
  const atomics = new Set(meshes.map((o) => gltf.parser.associations.get(o)?.meshes));
  return { scene: gltf.scene, meshes, meshCount: atomics.size };
}

async function start() {
  const data = window.bwModels;
  const renderer = new THREE.WebGLRenderer({ canvas, antialias: true, preserveDrawingBuffer: true });
  renderer.setSize(canvas.width, canvas.height, false);
  const scene = new THREE.Scene();
  scene.background = new THREE.Color(0xdde0e6);
  scene.add(new THREE.HemisphereLight(0xffffff, 0x8899aa, 2.6));
  const sun = new THREE.DirectionalLight(0xffffff, 2.5);
  sun.position.set(-4, 8, 5);
  scene.add(sun);

  const loader = new GLTFLoader();
  const models = [];
  for (const s of data.snapshots) {
    const gltf = await loader.parseAsync(bytesOf(s.glb), '');
    models.push({ label: s.label, ...prepare(gltf, data.heatScale) });
  }

  // Frame the first snapshot from the front right, a little above (the
  // game's forward is -z once its z-up frame is turned y-up).
  const box = new THREE.Box3().setFromObject(models[0].scene);
  const centre = box.getCenter(new THREE.Vector3());
  const radius = Math.max(0.5, box.getSize(new THREE.Vector3()).length() / 2);
  const camera = new THREE.PerspectiveCamera(30, canvas.width / canvas.height, radius * 0.05, radius * 40);
  camera.position.copy(centre).add(new THREE.Vector3(0.8, 0.55, -1).normalize().multiplyScalar(radius * 3.6));
  const controls = new OrbitControls(camera, canvas);
  controls.target.copy(centre);
  controls.update();

  const state = { index: models.length - 1, heat: false };
  const render = () => renderer.render(scene, camera);
  function apply() {
    for (const [i, m] of models.entries()) {
      m.scene.visible = i === state.index;
      for (const o of m.meshes) {
        const look = state.heat ? o.userData.heat : o.userData.game;
        o.material = look.material;
        if (look.colour) o.geometry.setAttribute('color', look.colour);
        else o.geometry.deleteAttribute('color');
      }
    }
    const shown = models[state.index];
    snapshotButton.textContent = `Snapshot: ${shown.label}`;
    heatButton.textContent = `Heat map: ${state.heat ? 'on' : 'off'}`;
    const textured = shown.meshes.filter((o) => o.material.map).length;
    Object.assign(window.bwViewer, { snapshot: shown.label, heat: state.heat, meshCount: shown.meshCount, textured });
    render();
  }
  for (const m of models) scene.add(m.scene);
  window.bwViewer = {
    ready: true,
    show(label) {
      const i = models.findIndex((m) => m.label === label);
      if (i >= 0) state.index = i;
      apply();
    },
    setHeat(on) {
      state.heat = Boolean(on);
      apply();
    },
  };
  snapshotButton.addEventListener('click', () => {
    state.index = (state.index + 1) % models.length;
    apply();
  });
  heatButton.addEventListener('click', () => window.bwViewer.setHeat(!state.heat));
  controls.addEventListener('change', render);
  apply();
  status.textContent = 'Drag to orbit, scroll to zoom.';
}

start().catch((e) => {
  status.textContent = `The 3-D viewer could not start: ${e.message}`;
  window.bwViewer = { ready: false, error: String(e) };
});
