// The 3-D view: the assembly's meshes, each node drawn where the host says it
// stands, the camera with orbit, pan and zoom, and a renderer that draws only
// when something changed.
//
// The host keeps placements as rows (p' = p·R + t); three.js keeps columns, so
// a host rotation row is a three.js matrix column.

import * as THREE from 'three';
import { OrbitControls } from 'three/addons/controls/OrbitControls.js';
import { GLTFLoader } from 'three/addons/loaders/GLTFLoader.js';
import { CSS2DRenderer } from 'three/addons/renderers/CSS2DRenderer.js';
import { faceEdges } from './picking.js';

export function placementMatrix(placement, target = new THREE.Matrix4()) {
    const p = placement.position;
    const r = placement.rotation;
    return target.set(
        r[0][0], r[1][0], r[2][0], p[0],
        r[0][1], r[1][1], r[2][1], p[1],
        r[0][2], r[1][2], r[2][2], p[2],
        0, 0, 0, 1);
}

function samePlacement(a, b) {
    if (!a) return false;
    const p = a.position, q = b.position, r = a.rotation, s = b.rotation;
    return p[0] === q[0] && p[1] === q[1] && p[2] === q[2] &&
        r[0][0] === s[0][0] && r[0][1] === s[0][1] && r[0][2] === s[0][2] &&
        r[1][0] === s[1][0] && r[1][1] === s[1][1] && r[1][2] === s[1][2] &&
        r[2][0] === s[2][0] && r[2][1] === s[2][1] && r[2][2] === s[2][2];
}

// Nodes that share one mesh and material, this many or more, are drawn as one
// instanced mesh: one draw call instead of one each (large generated
// assemblies repeat one part thousands of times).
const kInstancedFrom = 64;
const kInstanceTints = {
    '': new THREE.Color(1, 1, 1), set: new THREE.Color(1, 0.5, 0.15), sel: new THREE.Color(0.4, 0.6, 1), both: new THREE.Color(0.8, 0.4, 1),
};

const kPartSetEmissive = new THREE.Color(0xc05800);
const kSelectedEmissive = new THREE.Color(0x1f56c8);
const kBothEmissive = new THREE.Color(0x9a2fc0);

export class View {
    constructor(holder) {
        this.holder = holder;
        this.renderer = new THREE.WebGLRenderer({ antialias: true });
        this.renderer.setPixelRatio(window.devicePixelRatio);
        this.renderer.setClearColor(0xdfe4ea);
        holder.appendChild(this.renderer.domElement);
        this.labels = new CSS2DRenderer();
        Object.assign(this.labels.domElement.style, { position: 'absolute', top: '0', left: '0', pointerEvents: 'none' });
        holder.appendChild(this.labels.domElement);

        this.scene = new THREE.Scene();
        this.camera = new THREE.PerspectiveCamera(40, 1, 0.01, 1000);
        // Assemblies here are modelled with Z up, as the host's pictures show them.
        this.camera.up.set(0, 0, 1);
        this.camera.position.set(6, -8, 5);
        this.scene.add(new THREE.HemisphereLight(0xffffff, 0x667080, 1.6));
        this.headlight = new THREE.DirectionalLight(0xffffff, 1.6);
        this.camera.add(this.headlight);
        this.headlight.position.set(0.3, 0.6, 1);
        this.scene.add(this.camera);

        this.parts = new THREE.Group();
        this.parts.matrixAutoUpdate = false;
        this.scene.add(this.parts);

        this.controls = new OrbitControls(this.camera, this.renderer.domElement);
        this.controls.addEventListener('change', () => this.requestRender());

        this.nodes = [];            // per scene node: { name, meshes: [], placement key }
        this.byName = new Map();
        this.highlighted = new Map(); // base material -> { set, sel, both }
        this.renderQueued = false;
        this.onRendered = null;
        this.radius = 1;

        new ResizeObserver(() => this.resize()).observe(holder);
        this.resize();
    }

    resize() {
        const w = Math.max(1, this.holder.clientWidth);
        const h = Math.max(1, this.holder.clientHeight);
        this.renderer.setSize(w, h, false);
        this.renderer.domElement.style.width = '100%';
        this.renderer.domElement.style.height = '100%';
        this.labels.setSize(w, h);
        this.camera.aspect = w / h;
        this.camera.updateProjectionMatrix();
        this.requestRender();
    }

    requestRender() {
        if (this.renderQueued) return;
        this.renderQueued = true;
        requestAnimationFrame(() => {
            this.renderQueued = false;
            this.render();
        });
    }

    render() {
        this.renderer.render(this.scene, this.camera);
        this.labels.render(this.scene, this.camera);
        if (this.onRendered) this.onRendered();
    }

    clear() {
        for (const mesh of [...this.parts.children]) {
            mesh.removeFromParent();
            if (mesh.userData.ownGeometry) mesh.geometry.dispose();
        }
        for (const variants of this.highlighted.values())
            for (const m of Object.values(variants)) m.dispose();
        this.highlighted.clear();
        this.nodes = [];
        this.byName.clear();
    }

    // `sceneNodes` as /api/scene lists them; `bytes` the glTF file, or null for
    // the built-in sample, whose nodes carry boxes.
    async load(sceneNodes, bytes, resourcePath, requestHeader) {
        this.clear();
        for (const [index, node] of sceneNodes.entries()) {
            const entry = { index, name: node.name, parent: node.parent, meshes: [], instances: [], placement: null };
            this.nodes.push(entry);
            this.byName.set(node.name, entry);
        }
        if (bytes) await this.loadGltf(sceneNodes, bytes, resourcePath, requestHeader);
        else this.loadBoxes(sceneNodes);
        this.requestRender();
    }

    loadBoxes(sceneNodes) {
        const material = new THREE.MeshStandardMaterial({ color: 0xa7adb5, roughness: 0.7, metalness: 0.1 });
        for (const [index, node] of sceneNodes.entries()) {
            if (!node.box) continue;
            const [sx, sy, sz] = node.box.size;
            const geometry = new THREE.BoxGeometry(sx || 1e-3, sy || 1e-3, sz || 1e-3);
            geometry.translate(...node.box.centre);
            const mesh = new THREE.Mesh(geometry, material);
            mesh.userData.ownGeometry = true;
            this.adopt(this.nodes[index], mesh, new THREE.Matrix4());
        }
    }

    async loadGltf(sceneNodes, bytes, resourcePath, requestHeader) {
        const loader = new GLTFLoader();
        if (requestHeader) loader.setRequestHeader(requestHeader);
        const gltf = await loader.parseAsync(bytes, resourcePath);
        let root = gltf.scene;
        if (!root) {
            // A file without scenes: the host takes every top node, and so does the view.
            root = new THREE.Group();
            const nodes = gltf.parser.json.nodes || [];
            const children = new Set(nodes.flatMap((n) => n.children || []));
            for (let i = 0; i < nodes.length; ++i)
                if (!children.has(i)) root.add(await gltf.parser.getDependency('node', i));
        }
        root.updateMatrixWorld(true);
        const associations = gltf.parser.associations;
        const byGltfIndex = new Map();
        for (const [index, node] of sceneNodes.entries())
            if (node.gltfIndex !== null && node.gltfIndex !== undefined) byGltfIndex.set(node.gltfIndex, index);

        // Each mesh belongs to the nearest node above it (itself included). The
        // host places nodes rigidly, so a mesh keeps its offset from its node's
        // rigid frame, scale included: drawn = host placement · offset.
        const meshes = [];
        root.traverse((object) => { if (object.isMesh) meshes.push(object); });
        const shared = new Map(); // geometry and material -> the nodes that draw them
        const position = new THREE.Vector3(), quaternion = new THREE.Quaternion(), scale = new THREE.Vector3();
        const rigid = new THREE.Matrix4();
        for (const mesh of meshes) {
            let owner = mesh;
            while (owner && !(associations.get(owner) && associations.get(owner).nodes !== undefined)) owner = owner.parent;
            if (!owner) continue;
            const index = byGltfIndex.get(associations.get(owner).nodes);
            if (index === undefined) continue;
            owner.matrixWorld.decompose(position, quaternion, scale);
            rigid.compose(position, quaternion, new THREE.Vector3(1, 1, 1)).invert();
            const offset = new THREE.Matrix4().multiplyMatrices(rigid, mesh.matrixWorld);
            const plain = !mesh.isSkinnedMesh && !mesh.isInstancedMesh && !mesh.morphTargetInfluences && !Array.isArray(mesh.material);
            const key = plain ? `${mesh.geometry.uuid}/${mesh.material.uuid}` : null;
            if (!shared.has(key)) shared.set(key, []);
            shared.get(key).push({ entry: this.nodes[index], mesh, offset });
        }
        for (const [key, uses] of shared) {
            if (key !== null && uses.length >= kInstancedFrom) this.adoptInstanced(uses);
            else for (const use of uses) this.adopt(use.entry, use.mesh, use.offset);
        }
    }

    // One instanced mesh for `uses` ({ entry, mesh, offset }, one geometry and material).
    adoptInstanced(uses) {
        const { geometry, material } = uses[0].mesh;
        const instanced = new THREE.InstancedMesh(geometry, material, uses.length);
        instanced.matrixAutoUpdate = false;
        // Placements change every frame of a move; the whole set is cheaper to
        // draw than to cull by a bound recomputed each time.
        instanced.frustumCulled = false;
        instanced.userData.owners = uses.map((u) => u.entry);
        instanced.userData.offsets = uses.map((u) => u.offset);
        for (const [i, use] of uses.entries()) {
            use.mesh.removeFromParent();
            use.entry.instances.push({ mesh: instanced, index: i, offset: use.offset });
            instanced.setColorAt(i, kInstanceTints['']);
            const hidden = !(Math.abs(use.offset.determinant()) > 0);
            instanced.setMatrixAt(i, hidden ? new THREE.Matrix4().makeScale(0, 0, 0) : use.offset);
        }
        this.parts.add(instanced);
    }

    adopt(entry, mesh, offset) {
        mesh.removeFromParent();
        mesh.matrixAutoUpdate = false;
        mesh.userData.node = entry.name;
        mesh.userData.offset = offset;
        mesh.userData.baseMaterial = mesh.material;
        // An offset with a zero scale (a node hidden by its file) draws nothing.
        mesh.visible = Math.abs(offset.determinant()) > 0;
        entry.meshes.push(mesh);
        this.parts.add(mesh);
    }

    // Places every node as `nodes` (/api/state's list, in scene order) says;
    // only nodes whose placement changed are touched (the host sends every
    // node's placement with every answer). Returns how many moved.
    setPlacements(nodes) {
        let moved = 0;
        const world = new THREE.Matrix4(), instance = new THREE.Matrix4();
        const touched = new Set();
        const count = Math.min(nodes.length, this.nodes.length);
        for (let i = 0; i < count; ++i) {
            const entry = this.nodes[i];
            const placement = nodes[i];
            if (samePlacement(entry.placement, placement)) continue;
            entry.placement = placement;
            ++moved;
            if (entry.meshes.length === 0 && entry.instances.length === 0) continue;
            placementMatrix(placement, world);
            for (const mesh of entry.meshes) {
                mesh.matrix.multiplyMatrices(world, mesh.userData.offset);
                mesh.matrixWorldNeedsUpdate = true;
            }
            for (const use of entry.instances) {
                if (!(Math.abs(use.offset.determinant()) > 0)) continue;
                use.mesh.setMatrixAt(use.index, instance.multiplyMatrices(world, use.offset));
                touched.add(use.mesh);
            }
        }
        for (const mesh of touched) {
            mesh.instanceMatrix.needsUpdate = true;
            // Bounds follow the instances; the picking ray recomputes them when it needs them.
            mesh.boundingBox = null;
            mesh.boundingSphere = null;
        }
        if (moved) this.requestRender();
        return moved;
    }

    variant(base, kind) {
        let variants = this.highlighted.get(base);
        if (!variants) {
            variants = {};
            this.highlighted.set(base, variants);
        }
        if (!variants[kind]) {
            const m = base.clone();
            const colour = kind === 'set' ? kPartSetEmissive : kind === 'sel' ? kSelectedEmissive : kBothEmissive;
            if (m.emissive) m.emissive.copy(colour);
            else if (m.color) m.color.lerp(colour, 0.6);
            variants[kind] = m;
        }
        return variants[kind];
    }

    // The nodes named and every node under them (parents come first).
    subTrees(names) {
        const inside = new Set();
        for (const entry of this.nodes)
            if (names.has(entry.name) || inside.has(entry.parent)) inside.add(entry.index);
        return inside;
    }

    // Part-set nodes glow orange, selected ones blue (both: purple). An
    // assembly stands for the sub-tree under it, which moves with it.
    setHighlight(partSet, selected) {
        const inSetTree = this.subTrees(partSet), selectedTree = this.subTrees(selected);
        const tinted = new Set();
        for (const entry of this.nodes) {
            const inSet = inSetTree.has(entry.index), isSel = selectedTree.has(entry.index);
            const kind = inSet && isSel ? 'both' : inSet ? 'set' : isSel ? 'sel' : '';
            if (kind === entry.highlight) continue;
            entry.highlight = kind;
            for (const mesh of entry.meshes)
                mesh.material = kind ? this.variant(mesh.userData.baseMaterial, kind) : mesh.userData.baseMaterial;
            for (const use of entry.instances) {
                use.mesh.setColorAt(use.index, kInstanceTints[kind]);
                tinted.add(use.mesh);
            }
        }
        for (const mesh of tinted) mesh.instanceColor.needsUpdate = true;
        this.requestRender();
    }

    instanceBox(use) {
        const geometry = use.mesh.geometry;
        if (!geometry.boundingBox) geometry.computeBoundingBox();
        const instance = new THREE.Matrix4();
        use.mesh.getMatrixAt(use.index, instance);
        return geometry.boundingBox.clone().applyMatrix4(instance.premultiply(use.mesh.matrixWorld));
    }

    bounds() {
        this.parts.updateMatrixWorld(true);
        const box = new THREE.Box3();
        for (const mesh of this.parts.children) if (mesh.visible) box.expandByObject(mesh);
        return box;
    }

    fit() {
        const box = this.bounds();
        if (box.isEmpty()) return;
        const sphere = box.getBoundingSphere(new THREE.Sphere());
        const radius = Math.max(sphere.radius, 1e-6);
        this.radius = radius;
        const direction = this.camera.position.clone().sub(this.controls.target);
        if (direction.lengthSq() === 0) direction.set(0.6, -0.8, 0.5);
        direction.normalize();
        const distance = radius / Math.sin(THREE.MathUtils.degToRad(this.camera.fov / 2)) * 1.05;
        this.controls.target.copy(sphere.center);
        this.camera.position.copy(sphere.center).addScaledVector(direction, distance);
        this.camera.near = distance / 100;
        this.camera.far = distance * 100;
        this.camera.updateProjectionMatrix();
        this.controls.update();
        this.requestRender();
    }

    // The part under a point of the canvas (client coordinates): its node, the
    // world point, the hit triangle and the outline of its flat face in world
    // coordinates; null over nothing.
    pick(clientX, clientY) {
        const rect = this.renderer.domElement.getBoundingClientRect();
        const ndc = new THREE.Vector2(
            ((clientX - rect.left) / rect.width) * 2 - 1,
            -((clientY - rect.top) / rect.height) * 2 + 1);
        const raycaster = new THREE.Raycaster();
        raycaster.setFromCamera(ndc, this.camera);
        this.parts.updateMatrixWorld(true);
        const hit = raycaster.intersectObjects(this.parts.children, false).find((h) => h.object.visible && h.face);
        if (!hit) return null;
        const mesh = hit.object;
        const positions = mesh.geometry.getAttribute('position');
        const toWorld = mesh.matrixWorld.clone();
        let node = mesh.userData.node;
        if (mesh.isInstancedMesh) {
            const instance = new THREE.Matrix4();
            mesh.getMatrixAt(hit.instanceId, instance);
            toWorld.multiply(instance);
            node = mesh.userData.owners[hit.instanceId].name;
        }
        const corner = (i) => new THREE.Vector3().fromBufferAttribute(positions, i).applyMatrix4(toWorld).toArray();
        const picked = {
            node,
            point: hit.point.toArray(),
            triangle: [corner(hit.face.a), corner(hit.face.b), corner(hit.face.c)],
        };
        // The whole face's outline, so that X follows a side of the face and
        // not a diagonal between two of its triangles.
        const edges = faceEdges(mesh.geometry, hit.faceIndex, toWorld, picked.point);
        if (edges && edges.length) picked.edges = edges;
        return picked;
    }

    // Where a world point shows on the page, in client coordinates.
    project(point) {
        const rect = this.renderer.domElement.getBoundingClientRect();
        const v = new THREE.Vector3(...point).project(this.camera);
        return { x: rect.left + (v.x + 1) / 2 * rect.width, y: rect.top + (1 - v.y) / 2 * rect.height };
    }

    // The client-space rectangle that a node's meshes and those of the nodes
    // under it cover now.
    screenBox(name) {
        const top = this.byName.get(name);
        if (!top) return null;
        this.parts.updateMatrixWorld(true);
        const box = new THREE.Box3();
        // Parents come before their children, so one pass finds the sub-tree.
        const inside = new Set([top.index]);
        for (const entry of this.nodes.slice(top.index)) {
            if (entry !== top && !inside.has(entry.parent)) continue;
            inside.add(entry.index);
            for (const mesh of entry.meshes) box.expandByObject(mesh);
            for (const use of entry.instances) box.union(this.instanceBox(use));
        }
        if (box.isEmpty()) return null;
        let x0 = Infinity, y0 = Infinity, x1 = -Infinity, y1 = -Infinity;
        for (let i = 0; i < 8; ++i) {
            const c = [i & 1 ? box.max.x : box.min.x, i & 2 ? box.max.y : box.min.y, i & 4 ? box.max.z : box.min.z];
            const s = this.project(c);
            x0 = Math.min(x0, s.x); y0 = Math.min(y0, s.y); x1 = Math.max(x1, s.x); y1 = Math.max(y1, s.y);
        }
        return { x: x0, y: y0, width: x1 - x0, height: y1 - y0 };
    }
}
