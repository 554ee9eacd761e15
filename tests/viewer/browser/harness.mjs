// What the browser tests share: finding chromium and playwright-core, starting
// the viewer on a file and reading its address, driving the page, asking the
// host for its state directly, and running the scripted demo as the reference.

import { spawn, spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../..');
export const engineFile = '/usr/share/assimp/models/glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb';

const kChromium = process.env.ALIGNPARTS_CHROMIUM || '/usr/bin/chromium';
const kViewer = path.resolve(process.env.ALIGNPARTS_VIEWER || path.join(repo, 'build/default/viewer/alignparts-viewer'));
const kDemo = path.resolve(process.env.ALIGNPARTS_DEMO || path.join(repo, 'build/default/demo/alignparts-demo'));

// Software WebGL through SwiftShader, so the tests draw the same on any machine;
// nothing that reaches out of the machine.
const kChromiumArgs = [
    '--use-angle=swiftshader', '--enable-unsafe-swiftshader', '--no-sandbox',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    '--no-first-run', '--disable-default-apps', '--mute-audio',
];

// playwright-core where the build installed the page's packages (beside the
// viewer), else where `npm ci --prefix viewer` puts them.
function playwright() {
    const places = [process.env.ALIGNPARTS_NODE_MODULES, path.join(path.dirname(kViewer), 'npm/node_modules'),
        path.join(repo, 'viewer/node_modules')].filter(Boolean);
    for (const modules of places) {
        try {
            return createRequire(path.join(path.dirname(modules), 'here.js'))('playwright-core');
        } catch {
            // not installed there
        }
    }
    return null;
}

// Why these tests cannot run here, or null. `needs` lists extra files required.
export function missing(needs = []) {
    if (!existsSync(kChromium)) return `no chromium at ${kChromium}`;
    if (!playwright()) return 'playwright-core is not installed (build the viewer, or npm ci --prefix viewer)';
    for (const file of [kViewer, ...needs]) if (!existsSync(file)) return `${file} is missing`;
    return null;
}

export function tempDir(t) {
    const dir = mkdtempSync(path.join(tmpdir(), 'alignparts-browser-'));
    t.after(() => rmSync(dir, { recursive: true, force: true }));
    return dir;
}

// Starts the viewer (on `file`, or the built-in sample) and reads its address line.
export async function startViewer(t, file) {
    const args = file ? [file, '--port', '0'] : ['--port', '0'];
    const child = spawn(kViewer, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    let stderr = '';
    child.stderr.on('data', (d) => { stderr += d; });
    const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
    const url = await new Promise((resolve, reject) => {
        let out = '';
        const timer = setTimeout(() => reject(new Error(`no address line from the viewer; stderr: ${stderr}`)), 30000);
        child.stdout.on('data', (d) => {
            out += d;
            const m = /open (http:\/\/\S+)/.exec(out);
            if (m) {
                clearTimeout(timer);
                resolve(m[1]);
            }
        });
        child.on('exit', (code) => reject(new Error(`the viewer ended with ${code}: ${stderr}`)));
    });
    const address = new URL(url);
    const server = {
        url,
        origin: address.origin,
        token: address.searchParams.get('token'),
        exited,
        async request(method, route, body) {
            const headers = { 'X-Alignparts-Token': this.token };
            if (method === 'POST') {
                headers.Origin = this.origin;
                headers['Content-Type'] = 'application/json';
            }
            const response = await fetch(this.origin + route, {
                method, headers, body: body === undefined ? undefined : JSON.stringify(body),
            });
            const text = await response.text();
            return { status: response.status, body: text ? JSON.parse(text) : null };
        },
        async state() {
            const { status, body } = await this.request('GET', '/api/state');
            if (status !== 200) throw new Error(`/api/state answered ${status}: ${JSON.stringify(body)}`);
            return body;
        },
        async stop() {
            if (child.exitCode === null) child.kill('SIGINT');
            return exited;
        },
    };
    t.after(() => server.stop());
    return server;
}

export async function launch(t) {
    const { chromium } = playwright();
    const browser = await chromium.launch({ executablePath: kChromium, headless: true, args: kChromiumArgs });
    t.after(() => browser.close());
    return browser;
}

// Opens the page and waits until it shows the host's state. Every error the
// page throws fails the test that opened it.
export async function openPage(t, browser, server, { viewport = { width: 1280, height: 800 }, headers } = {}) {
    const context = await browser.newContext({ viewport, deviceScaleFactor: 1, extraHTTPHeaders: headers });
    const page = await context.newPage();
    const errors = [];
    page.on('pageerror', (e) => errors.push(String(e)));
    // Refused requests are logged by the browser as failed loads; they are
    // expected here, and the tests check the page's own line for them.
    page.on('console', (m) => {
        if (m.type() === 'error' && !m.text().startsWith('Failed to load resource')) errors.push(m.text());
    });
    t.after(() => {
        if (errors.length) throw new Error(`the page reported errors:\n${errors.join('\n')}`);
    });
    await page.goto(server.url);
    await page.waitForSelector('body[data-ready=true]', { timeout: 60000 });
    await settle(page);
    return { page, errors };
}

// Waits until no request is on its way, no move animates and the view is drawn.
export async function settle(page, timeout = 60000) {
    await page.waitForFunction(() => window.viewer && window.viewer.isIdle(), null, { timeout, polling: 50 });
}

export function canvas(page) {
    return page.getByRole('region', { name: '3-D view' }).locator('canvas');
}

// Fractions of the pixels inside each rectangle (canvas pixels) in which two
// PNG shots of the canvas differ.
export async function changedFractions(page, before, after, rects) {
    return page.evaluate(async ({ a, b, rects }) => {
        const pixels = async (png) => {
            const blob = await (await fetch(`data:image/png;base64,${png}`)).blob();
            const bitmap = await createImageBitmap(blob);
            const c = new OffscreenCanvas(bitmap.width, bitmap.height);
            const g = c.getContext('2d');
            g.drawImage(bitmap, 0, 0);
            return g.getImageData(0, 0, bitmap.width, bitmap.height);
        };
        const [pa, pb] = [await pixels(a), await pixels(b)];
        return rects.map((r) => {
            const x0 = Math.max(0, Math.floor(r.x)), y0 = Math.max(0, Math.floor(r.y));
            const x1 = Math.min(pa.width, Math.ceil(r.x + r.width)), y1 = Math.min(pa.height, Math.ceil(r.y + r.height));
            let changed = 0, total = 0;
            for (let y = y0; y < y1; ++y) {
                for (let x = x0; x < x1; ++x) {
                    const i = (y * pa.width + x) * 4;
                    ++total;
                    if (Math.abs(pa.data[i] - pb.data[i]) + Math.abs(pa.data[i + 1] - pb.data[i + 1]) +
                        Math.abs(pa.data[i + 2] - pb.data[i + 2]) > 24) ++changed;
                }
            }
            return total ? changed / total : 0;
        });
    }, { a: before.toString('base64'), b: after.toString('base64'), rects });
}

// Runs a demo script and splits its output at `echo STEP name` lines into
// { state: the state line, locations: name -> 12 numbers, widgets: which -> line }.
export function runDemo(script, cwd) {
    const run = spawnSync(kDemo, ['-'], { input: script, cwd, encoding: 'utf8' });
    if (run.error) throw new Error(`the demo could not run: ${run.error.message}`);
    if (run.status !== 0) throw new Error(`the demo ended with ${run.status}: ${run.stdout}\n${run.stderr}`);
    const steps = new Map();
    let step = null;
    for (const line of run.stdout.split('\n')) {
        const words = line.trim().split(/\s+/);
        if (words[0] === 'STEP') {
            step = { state: null, locations: new Map(), widgets: new Map() };
            steps.set(words[1], step);
        } else if (!step || !line.trim()) {
            continue;
        } else if (words[0] === 'parts' && words[2] === 'assemblies') {
            step.state = line.trim();
        } else if (words[0] === 'widget') {
            step.widgets.set(words[1], { shown: words[2] === 'shown', numbers: words.slice(3).map(Number) });
        } else if (words.length === 13 && words.slice(1).every((w) => /^-?\d+\.\d+$/.test(w))) {
            step.locations.set(words[0], words.slice(1).map(Number));
        }
    }
    return steps;
}

export const flatten = (placement) => [...placement.position, ...placement.rotation.flat()];

// Whether the host's state agrees with the script's at one step: the state line
// verbatim, every node where the script's `locations` puts it, and the widgets.
export function disagreement(answer, reference) {
    if (answer.line !== reference.state) return `state line:\n  page:   ${answer.line}\n  script: ${reference.state}`;
    if (answer.nodes.length !== reference.locations.size)
        return `${answer.nodes.length} nodes on the page, ${reference.locations.size} in the script`;
    for (const node of answer.nodes) {
        const expected = reference.locations.get(node.name);
        if (!expected) return `${node.name} is not in the script's locations`;
        const got = flatten(node);
        if (got.some((v, i) => !(Math.abs(v - expected[i]) <= 2e-6 * Math.max(1, Math.abs(expected[i])))))
            return `${node.name}: page ${got.join(' ')}, script ${expected.join(' ')}`;
    }
    for (const [which, widget] of reference.widgets) {
        const got = answer.widgets && answer.widgets[which];
        if (Boolean(got && got.shown) !== widget.shown) return `${which} widget shown on the page: ${Boolean(got && got.shown)}`;
        if (got && widget.numbers.length === 12) {
            const numbers = flatten(got);
            if (numbers.some((v, i) => !(Math.abs(v - widget.numbers[i]) <= 2e-6 * Math.max(1, Math.abs(widget.numbers[i])))))
                return `${which} widget: page ${numbers.join(' ')}, script ${widget.numbers.join(' ')}`;
        }
    }
    return null;
}
