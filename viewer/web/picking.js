// Pointer input on the canvas: a click (a press and release without dragging,
// so orbiting does not select) picks the part under it; in picking mode the
// pointer's moves over faces are reported as hovers as well.

import * as THREE from 'three';

const kClickSlop = 4; // pixels a press may travel and still be a click

export class Picking {
    // `handlers.click(hit, event)` and `handlers.hover(hit)`; `hit` as View.pick gives it.
    constructor(view, handlers) {
        this.view = view;
        this.handlers = handlers;
        this.hovering = false;
        this.down = null;
        const canvas = view.renderer.domElement;
        canvas.addEventListener('pointerdown', (e) => {
            if (e.button === 0) this.down = { x: e.clientX, y: e.clientY };
        });
        canvas.addEventListener('pointerup', (e) => {
            const down = this.down;
            this.down = null;
            if (!down || e.button !== 0) return;
            if (Math.hypot(e.clientX - down.x, e.clientY - down.y) > kClickSlop) return;
            this.handlers.click(view.pick(e.clientX, e.clientY), e);
        });
        canvas.addEventListener('pointermove', (e) => {
            if (!this.hovering || this.down) return;
            this.handlers.hover(view.pick(e.clientX, e.clientY));
        });
    }
}

// The outline of the flat face a ray hit: the triangles of the mesh in the
// hit triangle's plane that reach it through shared edges (a box side is two
// triangles), and of them the edges used once. Vertices are matched by
// position, as glTF meshes often repeat a corner for each face. The work is
// bounded: a face of more than kMaxFaceTriangles triangles is cut short,
// and at most kMaxFaceEdges edges, those nearest `point`, are answered; a
// mesh of more than kMaxMeshTriangles has its faces' outlines left unfound.
// `toWorld` places the geometry; the answer is [[a, b], ...] in world
// coordinates, or null where no face can be found.
export const kMaxFaceTriangles = 20000;
export const kMaxFaceEdges = 256; // the host takes no more
export const kMaxMeshTriangles = 500000;

const adjacency = new WeakMap(); // geometry -> { corners, byEdge, size }

function adjacencyOf(geometry) {
    const known = adjacency.get(geometry);
    if (known && known.version === geometryVersion(geometry)) return known;
    const positions = geometry.getAttribute('position');
    const index = geometry.getIndex();
    const count = index ? index.count : positions.count;
    if (!geometry.boundingSphere) geometry.computeBoundingSphere();
    const size = Math.max(geometry.boundingSphere.radius, 1e-30);
    // One number per distinct position, at a millionth of the mesh's size.
    const quantum = size * 1e-6;
    const ids = new Map();
    const corners = new Int32Array(count - (count % 3));
    for (let i = 0; i < corners.length; ++i) {
        const v = index ? index.getX(i) : i;
        const key = `${Math.round(positions.getX(v) / quantum)},${Math.round(positions.getY(v) / quantum)},` +
            `${Math.round(positions.getZ(v) / quantum)}`;
        let id = ids.get(key);
        if (id === undefined) ids.set(key, (id = ids.size));
        corners[i] = id;
    }
    const distinct = ids.size;
    const edgeKey = (a, b) => (a < b ? a * distinct + b : b * distinct + a);
    const byEdge = new Map(); // edge key -> triangles using it
    for (let t = 0; t < corners.length / 3; ++t) {
        for (let k = 0; k < 3; ++k) {
            const key = edgeKey(corners[3 * t + k], corners[3 * t + (k + 1) % 3]);
            const list = byEdge.get(key);
            if (list) list.push(t);
            else byEdge.set(key, [t]);
        }
    }
    const made = { corners, byEdge, edgeKey, size, version: geometryVersion(geometry) };
    adjacency.set(geometry, made);
    return made;
}

function geometryVersion(geometry) {
    const index = geometry.getIndex();
    return `${geometry.getAttribute('position').version}/${index ? index.version : -1}`;
}

export function faceEdges(geometry, faceIndex, toWorld, point) {
    const positions = geometry.getAttribute('position');
    const index = geometry.getIndex();
    if (!positions || faceIndex === undefined || faceIndex === null) return null;
    if ((index ? index.count : positions.count) / 3 > kMaxMeshTriangles) return null;
    const { corners, byEdge, edgeKey, size } = adjacencyOf(geometry);
    if (3 * faceIndex + 2 >= corners.length) return null;
    const vertex = (t, k) => {
        const i = 3 * t + k;
        return new THREE.Vector3().fromBufferAttribute(positions, index ? index.getX(i) : i);
    };
    const normalOf = (t) => {
        const a = vertex(t, 0);
        return vertex(t, 1).sub(a).cross(vertex(t, 2).sub(a));
    };
    const normal = normalOf(faceIndex);
    if (!(normal.lengthSq() > 0)) return null;
    normal.normalize();
    const offset = normal.dot(vertex(faceIndex, 0));
    const tolerance = size * 1e-5;
    const inPlane = (t) => {
        const n = normalOf(t);
        if (!(n.dot(normal) > 0)) return false; // no area, or facing the other way
        for (let k = 0; k < 3; ++k) if (Math.abs(normal.dot(vertex(t, k)) - offset) > tolerance) return false;
        return true;
    };

    const face = new Set([faceIndex]);
    const queue = [faceIndex];
    while (queue.length && face.size < kMaxFaceTriangles) {
        const t = queue.pop();
        for (let k = 0; k < 3 && face.size < kMaxFaceTriangles; ++k) {
            for (const u of byEdge.get(edgeKey(corners[3 * t + k], corners[3 * t + (k + 1) % 3]))) {
                if (face.has(u) || !inPlane(u)) continue;
                face.add(u);
                queue.push(u);
                if (face.size >= kMaxFaceTriangles) break;
            }
        }
    }

    // The outline: each edge used by exactly one triangle of the face.
    const uses = new Map(); // edge key -> [count, triangle, corner]
    for (const t of face) {
        for (let k = 0; k < 3; ++k) {
            const key = edgeKey(corners[3 * t + k], corners[3 * t + (k + 1) % 3]);
            const use = uses.get(key);
            if (use) ++use[0];
            else uses.set(key, [1, t, k]);
        }
    }
    const target = new THREE.Vector3(...point);
    const segment = new THREE.Line3();
    const closest = new THREE.Vector3();
    const edges = [];
    for (const [count, t, k] of uses.values()) {
        if (count !== 1) continue;
        segment.set(vertex(t, k).applyMatrix4(toWorld), vertex(t, (k + 1) % 3).applyMatrix4(toWorld));
        segment.closestPointToPoint(target, true, closest);
        edges.push({ distance: closest.distanceTo(target), ends: [segment.start.toArray(), segment.end.toArray()] });
    }
    if (edges.length > kMaxFaceEdges) edges.sort((a, b) => a.distance - b.distance).length = kMaxFaceEdges;
    return edges.map((edge) => edge.ends);
}
