// The viewer page: loads the assembly the host holds, shows where every node
// stands, and turns what the user does into requests to the host. Every answer
// is the host's whole state, which the page then shows; the page keeps no
// alignment state of its own beyond what the user is typing.

import { get, getBytes, post, numberText, LatestWins, requestToken } from './api.js';
import { View } from './view.js';
import { Widgets } from './widgets.js';
import { Tree } from './tree.js';
import { Panel } from './panel.js';
import { Picking } from './picking.js';
import { watchDrops } from './drop.js';

const view = new View(document.getElementById('canvas-holder'));
const widgets = new Widgets(view.scene);
const hint = document.getElementById('hint');

let sceneVersion = null;
let sceneNodes = [];
let answer = null;          // the newest state shown
let sent = 0;               // requests numbered as sent...
let shown = 0;              // ...and the newest whose answer is shown
let inFlight = 0;
let polling = false;
let picking = null;         // 'origin' or 'target' while a face is to be clicked
let timing = null;          // for the benchmark: when the last offsets change left
let fitPending = false;     // a newly loaded assembly is fitted once it is placed

const channels = {
    offsets: new LatestWins((body) => call('/api/offsets', body, 'Offsets')),
    origin: new LatestWins((body) => call('/api/csys', body, 'Origin')),
    target: new LatestWins((body) => call('/api/csys', body, 'Target')),
    preview: new LatestWins((body) => call('/api/preview', body, 'Preview', { quiet: true })),
};

const panel = new Panel(document, {
    action: (name) => {
        if (name === 'save') return save();
        return call(`/api/${name}`, {}, name[0].toUpperCase() + name.slice(1));
    },
    reset: (flags) => call('/api/reset', { flags }, 'Reset'),
    frameKind: (which, kind) => frameKind(which, kind),
    customValues: (which) => sendCustom(which),
    offsets: () => sendOffsets(),
    mode: (mode) => call('/api/mode', { mode }, 'Mode'),
    previewed: (on) => call('/api/previewed', { on }, 'Preview'),
});

const tree = new Tree(document.getElementById('tree'), (names, additive) => select(names, additive));

const pointer = new Picking(view, {
    click: (hit, event) => {
        if (picking) {
            if (hit) pickFace(picking, hit);
            return;
        }
        if (hit) tree.reveal(hit.node);
        select(hit ? [hit.node] : [], event.ctrlKey || event.metaKey || event.shiftKey);
    },
    hover: (hit) => {
        if (picking && hit) channels.preview.push({ which: picking, kind: 'picked', ...hit });
    },
});
const picker = view.renderer.domElement;

document.getElementById('fit').addEventListener('click', () => {
    view.fit();
    showWidgets();
});
document.addEventListener('keydown', (e) => {
    if (e.key === 'Escape' && picking) cancelPicking();
});

watchDrops(document, document.getElementById('drop-hint'), openFile, (why) => panel.showAlert(`Open refused: ${why}`));

// --- requests -------------------------------------------------------------

function busyNow() {
    return {
        offsets: channels.offsets.busy,
        frame: { origin: channels.origin.busy, target: channels.target.busy },
    };
}

// Sends one change; shows the answer, or the host's refusal as the alert line
// (the host has then changed nothing, and the page shows the state as it was).
async function call(path, body, what, { quiet = false } = {}) {
    const n = ++sent;
    ++inFlight;
    try {
        const result = await post(path, body);
        if (!quiet) panel.clearAlert();
        await accept(result, n);
        return result;
    } catch (error) {
        panel.showAlert(`${what} refused: ${error.message}`);
        return null;
    } finally {
        --inFlight;
    }
}

async function save() {
    const n = ++sent;
    ++inFlight;
    try {
        const result = await post('/api/save', {});
        panel.clearAlert();
        panel.showStatus(`Saved as ${result.saved}`);
        if (result.state) await accept(result, n);
    } catch (error) {
        panel.showAlert(`Save refused: ${error.message}`);
    } finally {
        --inFlight;
    }
}

async function openFile(file) {
    panel.showStatus(`Opening ${file.name}…`);
    const n = ++sent;
    ++inFlight;
    try {
        const result = await post('/api/open', await file.arrayBuffer(), { 'X-Alignparts-Name': file.name });
        panel.clearAlert();
        panel.showStatus(`Opened ${file.name}`);
        await accept(result.state ? result : await get('/api/state'), n);
    } catch (error) {
        panel.showStatus('');
        panel.showAlert(`Open refused: ${error.message}`);
    } finally {
        --inFlight;
    }
}

// Nodes with children are selected as assemblies, the others as parts.
function select(names, additive) {
    const kind = (name) => {
        const item = tree.byName.get(name);
        return `${item && item.children.length ? 'assembly' : 'part'}:${name}`;
    };
    return selectItems(names.map(kind), additive);
}

function selectItems(items, additive) {
    if (additive && answer) items = [...new Set([...(answer.selected || []), ...items])];
    return call('/api/select', { items }, 'Selection');
}

// The scene's collections, each a button that selects it (Ctrl or Shift adds).
function showCollections(names) {
    const list = document.getElementById('collections');
    list.replaceChildren(...names.map((name) => {
        const li = document.createElement('li');
        const button = document.createElement('button');
        button.type = 'button';
        button.textContent = name;
        button.dataset.item = `collection:${name}`;
        button.setAttribute('aria-pressed', 'false');
        button.addEventListener('click', (e) => selectItems([button.dataset.item], e.ctrlKey || e.metaKey || e.shiftKey));
        li.append(button);
        return li;
    }));
    list.hidden = names.length === 0;
    document.getElementById('collections-heading').hidden = names.length === 0;
}

function frameKind(which, kind) {
    if (picking === which) stopPicking();
    if (kind === 'picked') return startPicking(which);
    if (kind === 'custom') return sendCustom(which);
    return channels[which].push({ which, kind });
}

function sendCustom(which) {
    const read = panel.readCustom(which, numberText);
    if (read.error) return panel.showAlert(read.error);
    channels[which].push(`{"which":"${which}","kind":"custom","values":[${read.values.join(',')}]}`);
}

function sendOffsets() {
    const read = panel.readOffsets(numberText);
    if (read.error) return panel.showAlert(read.error);
    timing = { sentAt: performance.now() };
    channels.offsets.push(`{"values":[${read.values.join(',')}]}`);
}

function startPicking(which) {
    picking = which;
    pointer.hovering = true;
    picker.style.cursor = 'crosshair';
    hint.textContent = `Click a face to place the ${which} (Esc stops)`;
}

function stopPicking() {
    picking = null;
    pointer.hovering = false;
    picker.style.cursor = '';
    hint.textContent = '';
}

// Esc while picking: the hovers may have moved the widget, so the frame that
// was set before is set again (or, with none, the widget hidden again).
function cancelPicking() {
    const which = picking;
    stopPicking();
    const csys = answer && answer.csys && answer.csys[which];
    const kind = csys && csys.kind ? csys.kind : 'none';
    panel.frames[which].select.value = kind;
    panel.frames[which].custom.hidden = kind !== 'custom';
    if (kind === 'none') return channels.preview.push({ which, kind: 'invalid' });
    const body = { which, kind };
    for (const key of ['values', 'node', 'point', 'triangle', 'edges']) if (csys[key] !== undefined) body[key] = csys[key];
    return channels[which].push(body);
}

function pickFace(which, hit) {
    stopPicking();
    channels[which].push({ which, kind: 'picked', ...hit });
}

// --- showing the host's state -----------------------------------------------

async function accept(result, n) {
    if (n < shown) return;  // an older answer overtaken by a newer one
    shown = n;
    if (result.version !== sceneVersion) await loadScene();
    show(result);
}

function show(result) {
    answer = result;
    const t = timing && performance.now();
    view.setPlacements(result.nodes || []);
    if (fitPending) {
        fitPending = false;
        view.fit();
    }
    const partSet = new Set(result.partSet || []);
    const selected = new Set((result.selected || []).map((item) => item.slice(item.indexOf(':') + 1)));
    view.setHighlight(partSet, selected);
    tree.setSelected(selected);
    for (const button of document.querySelectorAll('#collections button'))
        button.setAttribute('aria-pressed', String((result.selected || []).includes(button.dataset.item)));
    tree.setPartSet(partSet);
    showWidgets();
    panel.update(result, busyNow());
    if (timing && channels.offsets.inFlight) {
        // The bench reads how long an offsets change took to be drawn.
        timing.receivedAt = t;
        timing.serverRun = result.serverTiming && result.serverTiming.run;
        timing.serverTotal = result.serverTiming && result.serverTiming.total;
        timing.parse = result.serverTiming && result.serverTiming.parse;
        timing.appliedAt = performance.now();
        const finished = timing;
        timing = null;
        view.onRendered = () => {
            view.onRendered = null;
            finished.renderedAt = performance.now();
            window.viewer.timings.push(finished);
            window.dispatchEvent(new CustomEvent('viewer-applied', { detail: finished }));
        };
    }
    view.requestRender();
    if (result.animating) pollSoon();
}

function showWidgets() {
    if (answer && widgets.update(answer.widgets, view.radius * 0.25)) view.requestRender();
}

// While the host animates a move, the page follows its clock frame by frame.
function pollSoon() {
    if (polling) return;
    polling = true;
    requestAnimationFrame(async () => {
        const n = ++sent;
        try {
            await accept(await get('/api/state'), n);
        } catch (error) {
            panel.showAlert(`State refused: ${error.message}`);
        } finally {
            polling = false;
            if (answer && answer.animating) pollSoon();
        }
    });
}

async function loadScene() {
    const scene = await get('/api/scene');
    sceneVersion = scene.version;
    sceneNodes = scene.nodes;
    document.getElementById('file-name').textContent = scene.file || 'built-in sample';
    document.title = `Align parts: ${scene.file || 'built-in sample'}`;
    tree.build(sceneNodes);
    showCollections(scene.collections || []);
    const bytes = scene.file ? await getBytes('/api/file') : null;
    const token = requestToken();
    await view.load(sceneNodes, bytes, '/api/file/res/', token ? { 'X-Alignparts-Token': token } : null);
    // Placed once by the state shown next; fitted when that is in place.
    fitPending = true;
}


async function start() {
    try {
        const n = ++sent;
        const first = await get('/api/state');
        await accept(first, n);
    } catch (error) {
        panel.showAlert(`The viewer could not start: ${error.message}`);
    }
    document.body.dataset.ready = 'true';
}

// What tests and the benchmark may read; nothing here changes state.
window.viewer = {
    view,
    timings: [],
    get answer() { return answer; },
    isIdle: () => inFlight === 0 && !polling && !channels.offsets.busy && !channels.origin.busy &&
        !channels.target.busy && !channels.preview.busy && !(answer && answer.animating) && !view.renderQueued,
    project: (point) => view.project(point),
    screenBox: (name) => view.screenBox(name),
};
start();
