// Clicking in the view: outside picking it selects the part under the pointer.
// Picking a face: in "Picked" mode the widget first follows the pointer over
// the faces (a preview that sets nothing), and a click sets the frame the host
// derives from the face: its origin at the clicked point, Z along the face's
// normal, X along one of the face's edges.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { writeFileSync } from 'node:fs';
import path from 'node:path';
import { missing, tempDir, startViewer, launch, openPage, settle } from './harness.mjs';
import { boxGlb, turn as quaternion } from './glb.mjs';

// Row-vector placements: a local point p lands at p·R + t.
const apply = (p, node) => [0, 1, 2].map((j) => p[0] * node.rotation[0][j] + p[1] * node.rotation[1][j] + p[2] * node.rotation[2][j] + node.position[j]);
const turn = (v, node) => [0, 1, 2].map((j) => v[0] * node.rotation[0][j] + v[1] * node.rotation[1][j] + v[2] * node.rotation[2][j]);
const dot = (a, b) => a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
const sub = (a, b) => a.map((v, i) => v - b[i]);

// The frame a widget shows is the one the face under the pointer gives: its
// origin on the face near `point`, Z along `normal`, X along `edge`.
function checkFaceFrame(widget, { point, normal, edge, slack = 0.06 }, what) {
    assert.ok(widget && widget.shown, `${what}: the widget is shown`);
    const offPlane = dot(sub(widget.position, point), normal);
    assert.ok(Math.abs(offPlane) < 1e-3, `${what}: the origin lies ${offPlane} off the face`);
    const off = Math.hypot(...sub(widget.position, point));
    assert.ok(off < slack, `${what}: the origin is ${off} from the point under the pointer`);
    const z = widget.rotation[2], x = widget.rotation[0];
    assert.ok(dot(z, normal) > 1 - 1e-5, `${what}: Z ${z} is not the face's normal ${normal}`);
    assert.ok(Math.abs(Math.abs(dot(x, edge)) - 1) < 1e-5, `${what}: X ${x} is not along the nearest edge ${edge}`);
}

// Faces of the built-in sample that the default camera sees: the fan's top and
// the housing's front. Each is clicked part-way (`off` of its size) from its
// centre towards the edge across its shorter side (`toward`): X must run along
// that edge. Near the centre the diagonal that splits the face into two
// triangles is nearer still, yet X follows the face's side, not the diagonal.
const kFaces = [
    { which: 'Origin', node: 'fan', normal: [0, 0, 1], toward: 0, along: 1, off: 0.35 },
    { which: 'Target', node: 'housing', normal: [0, -1, 0], toward: 2, along: 0, off: 0.35 },
    { which: 'Target', node: 'fan', normal: [0, 0, 1], toward: 0, along: 1, off: 0.08 },
];

test('a click in the view selects the part under it; a picked face gives the frame its geometry says', { skip: missing() ?? false, timeout: 300000 }, async (t) => {
    const server = await startViewer(t, null);
    const browser = await launch(t);
    const { page } = await openPage(t, browser, server);
    const scene = (await server.request('GET', '/api/scene')).body;
    // Where the middle of one face of a box shows on the page.
    const centreOf = async (name, normal) => {
        const index = scene.nodes.findIndex((n) => n.name === name);
        const placement = (await server.state()).nodes[index];
        const { size, centre } = scene.nodes[index].box;
        return page.evaluate((p) => window.viewer.project(p), apply(centre.map((c, i) => c + normal[i] * size[i] / 2), placement));
    };
    const selected = async () => (await server.state()).selected.sort();

    // Outside picking, a click selects the part under the pointer; Ctrl adds
    // one, a click on nothing clears; a collection is selected by its button.
    const fan = await centreOf('fan', [0, 0, 1]), housing = await centreOf('housing', [0, -1, 0]);
    await page.mouse.click(fan.x, fan.y);
    await settle(page);
    assert.deepEqual(await selected(), ['part:fan']);
    await page.keyboard.down('Control');
    await page.mouse.click(housing.x, housing.y);
    await page.keyboard.up('Control');
    await settle(page);
    assert.deepEqual(await selected(), ['part:fan', 'part:housing']);
    const box = await page.getByRole('region', { name: '3-D view' }).locator('canvas').boundingBox();
    await page.mouse.click(box.x + 5, box.y + box.height - 5);
    await settle(page);
    assert.deepEqual(await selected(), []);
    await page.getByRole('button', { name: 'bolts', exact: true }).click();
    await settle(page);
    assert.deepEqual(await selected(), ['collection:bolts']);
    assert.equal(await page.getByRole('button', { name: 'bolts', exact: true }).getAttribute('aria-pressed'), 'true');
    await page.getByRole('treeitem', { name: 'plate', exact: true }).locator(':scope > .row > .name').click();
    await settle(page);

    for (const face of kFaces) {
        const key = face.which.toLowerCase();
        const index = scene.nodes.findIndex((n) => n.name === face.node);
        assert.ok(index >= 0 && scene.nodes[index].box, `${face.node} is a box of the sample`);
        const { size, centre } = scene.nodes[index].box;
        const before = await server.state();
        const placement = before.nodes[index];
        const local = centre.map((c, i) => c + face.normal[i] * size[i] / 2 + (i === face.toward ? face.off * size[i] : 0));
        const point = apply(local, placement);
        const normal = turn(face.normal, placement);
        const edge = turn([0, 1, 2].map((j) => Number(j === face.along)), placement);

        const checkFrame = (widget, what) => checkFaceFrame(widget, { point, normal, edge }, `${what} (${key})`);

        await page.getByLabel(face.which, { exact: true }).selectOption({ label: 'Picked' });
        const at = await page.evaluate((p) => window.viewer.project(p), point);
        // Hovering previews the frame there; the coordinate system stays as it was.
        await page.mouse.move(at.x + 3, at.y + 3);
        await page.mouse.move(at.x, at.y);
        await settle(page);
        const hovered = await server.state();
        assert.equal(hovered.state[key], before.state[key], 'a hover sets no coordinate system');
        checkFrame(hovered.widgets[key], `hovering over ${face.node}`);
        if (before.state[key] === 0) {
            // Esc gives up picking: the previewed widget goes again, the select says so.
            await page.keyboard.press('Escape');
            await settle(page);
            assert.equal((await server.state()).widgets[key].shown, false, 'Esc hides the previewed widget');
            assert.equal(await page.getByLabel(face.which, { exact: true }).inputValue(), 'none');
            await page.getByLabel(face.which, { exact: true }).selectOption({ label: 'Picked' });
            await page.mouse.move(at.x + 3, at.y + 3);
            await page.mouse.move(at.x, at.y);
            await settle(page);
        }

        await page.mouse.click(at.x, at.y);
        await settle(page);
        const picked = await server.state();
        assert.equal(picked.state[key], 3, 'a click sets a derived (custom) coordinate system');
        checkFrame(picked.widgets[key], `clicking ${face.node}`);
        // The click picked a frame, not a selection.
        assert.deepEqual(picked.selected, before.selected);
    }

    // The outline the page finds for a hit triangle, on meshes made here: each
    // answers the edges of the flat face around the triangle, in world
    // coordinates, and no more than the host takes.
    const outlines = await page.evaluate(async () => {
        const THREE = await import('three');
        const { faceEdges, kMaxFaceEdges } = await import('/app/picking.js');
        const moved = new THREE.Matrix4().makeTranslation(10, 0, 0);
        const sorted = (edges) => edges.map((e) => e.map((p) => p.map((v) => Math.round(v * 1e6) / 1e6)).sort().join(' ')).sort();
        // A box whose corners repeat per face (as glTF files have them), not indexed.
        const box = new THREE.BoxGeometry(2, 4, 6).toNonIndexed();
        // Two squares side by side in one plane, sharing no corner, and a
        // third on them, facing the other way.
        const squares = new THREE.BufferGeometry().setAttribute('position', new THREE.Float32BufferAttribute([
            0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 0, 0, 1, 1, 0, 0, 1, 0,
            2, 0, 0, 3, 0, 0, 3, 1, 0, 2, 0, 0, 3, 1, 0, 2, 1, 0,
            0, 0, 0, 1, 1, 0, 1, 0, 0], 3));
        // A disc of 1,000 sides: its outline is cut to the edges nearest the point.
        const disc = new THREE.CircleGeometry(1, 1000);
        const discEdges = faceEdges(disc, 0, moved, [11, 0, 0]);
        return {
            box: sorted(faceEdges(box, 0, moved, [11, 0, 0])),
            squares: sorted(faceEdges(squares, 0, new THREE.Matrix4(), [0.5, 0.2, 0])),
            disc: { count: discEdges.length, max: kMaxFaceEdges, far: Math.max(...discEdges.flat().map((p) => Math.hypot(p[0] - 11, p[1], p[2]))) },
        };
    });
    // The box's first face is its +X side (x = 1), moved 10 along X: a 4 by 6 rectangle.
    assert.deepEqual(outlines.box, [
        '11,-2,-3 11,-2,3', '11,-2,-3 11,2,-3', '11,-2,3 11,2,3', '11,2,-3 11,2,3'].sort(),
    'the box side is its four sides, not its triangles');
    assert.deepEqual(outlines.squares, ['0,0,0 1,0,0', '1,0,0 1,1,0', '0,1,0 1,1,0', '0,0,0 0,1,0'].sort(),
        'the square alone: not the other one, not the one facing away');
    assert.equal(outlines.disc.count, outlines.disc.max, 'the disc answers as many edges as the host takes');
    assert.ok(outlines.disc.far < 1, `the disc answers the edges nearest the point (one reaches ${outlines.disc.far} away)`);
});

// A box of a glTF file, turned about two axes inside a turned parent: the page
// must draw the file's mesh where the host places the node, or the clicks
// below land elsewhere (a rotation read by columns instead of rows, an offset
// applied twice, a mesh placed by its file transform instead of the host's).
// Alone, the box is a mesh of its own; among 70 nodes sharing its mesh, it is
// one instance of an instanced mesh, picked and placed per instance.
for (const neighbours of [0, 70]) {
    test(`a turned part of a file is drawn where the host places it (${neighbours} sharing its mesh)`, { skip: missing() ?? false, timeout: 300000 }, async (t) => {
        const dir = tempDir(t);
        const file = path.join(dir, 'turned.glb');
        const size = [2, 1, 0.5];
        const others = Array.from({ length: neighbours }, (_, i) => ({
            name: `other${i}`, mesh: 0, translation: [-9 + 2.5 * (i % 10), -4 + 1.5 * Math.floor(i / 10), -4],
        }));
        writeFileSync(file, boxGlb([
            { name: 'frame', translation: [1, 2, 0], rotation: quaternion([0, 0, 1], 30), children: [1, ...others.map((_, i) => i + 2)] },
            { name: 'block', mesh: 0, translation: [0.5, 0, 1], rotation: quaternion([1, 0, 0], 40) },
            ...others,
        ], size));
        const server = await startViewer(t, file);
        const browser = await launch(t);
        const { page } = await openPage(t, browser, server);
        const scene = (await server.request('GET', '/api/scene')).body;
        const index = scene.nodes.findIndex((n) => n.name === 'block');
        const placement = (await server.state()).nodes[index];
        assert.ok(Math.abs(placement.rotation[0][2]) > 0.1 || Math.abs(placement.rotation[2][0]) > 0.1,
            'the block is turned out of the plane, so that rows and columns differ');

        // The block's top, part-way towards its long edge.
        const point = apply([0, 0.35 * size[1], size[2] / 2], placement);
        const face = { point, normal: turn([0, 0, 1], placement), edge: turn([1, 0, 0], placement) };
        const [at, along] = await page.evaluate(([p, q]) => [window.viewer.project(p), window.viewer.project(q)],
            [point, point.map((v, i) => v + face.edge[i])]);
        // Two pixels of slack for where the pointer lands.
        face.slack = 2 / Math.hypot(along.x - at.x, along.y - at.y);

        await page.mouse.click(at.x, at.y);
        await settle(page);
        assert.deepEqual((await server.state()).selected, ['part:block'], 'a click on the drawn block selects it');

        await page.getByLabel('Origin', { exact: true }).selectOption({ label: 'Picked' });
        await page.mouse.move(at.x + 2, at.y);
        await page.mouse.click(at.x, at.y);
        await settle(page);
        const picked = await server.state();
        assert.equal(picked.state.origin, 3);
        checkFaceFrame(picked.widgets.origin, face, 'the block\'s top');
    });
}
