// Small binary glTF files for the browser tests and the page's benchmark:
// box meshes and a node tree, written as a .glb.

// A box of the given size centred on its node: 8 corners, 12 triangles wound outwards.
export function boxMesh([sx, sy, sz]) {
    const corners = [];
    for (let i = 0; i < 8; ++i) corners.push(i & 1 ? sx / 2 : -sx / 2, i & 2 ? sy / 2 : -sy / 2, i & 4 ? sz / 2 : -sz / 2);
    const faces = [[0, 2, 3, 1], [4, 5, 7, 6], [0, 1, 5, 4], [2, 6, 7, 3], [0, 4, 6, 2], [1, 3, 7, 5]];
    const indices = faces.flatMap(([a, b, c, d]) => [a, b, c, a, c, d]);
    return {
        positions: Buffer.from(new Float32Array(corners).buffer),
        indices: Buffer.from(new Uint16Array(indices).buffer),
        count: indices.length,
        min: [-sx / 2, -sy / 2, -sz / 2],
        max: [sx / 2, sy / 2, sz / 2],
    };
}

// `nodes` as glTF writes them (mesh 0 is the box); one scene of the first node.
export function boxGlb(nodes, size) {
    const box = boxMesh(size);
    const pad = (b, fill) => Buffer.concat([b, Buffer.alloc((4 - b.length % 4) % 4, fill)]);
    const bin = pad(Buffer.concat([box.positions, box.indices]), 0);
    const json = {
        asset: { version: '2.0', generator: 'alignparts tests' },
        scene: 0,
        scenes: [{ nodes: [0] }],
        nodes,
        meshes: [{ primitives: [{ attributes: { POSITION: 0 }, indices: 1, material: 0 }] }],
        materials: [{ pbrMetallicRoughness: { baseColorFactor: [0.7, 0.72, 0.75, 1], metallicFactor: 0.1 } }],
        buffers: [{ byteLength: bin.length }],
        bufferViews: [
            { buffer: 0, byteOffset: 0, byteLength: box.positions.length, target: 34962 },
            { buffer: 0, byteOffset: box.positions.length, byteLength: box.indices.length, target: 34963 },
        ],
        accessors: [
            { bufferView: 0, componentType: 5126, count: 8, type: 'VEC3', min: box.min, max: box.max },
            { bufferView: 1, componentType: 5123, count: box.count, type: 'SCALAR' },
        ],
    };
    const text = pad(Buffer.from(JSON.stringify(json)), 0x20);
    const chunk = (type, data) => {
        const head = Buffer.alloc(8);
        head.writeUInt32LE(data.length, 0);
        head.write(type, 4, 'ascii');
        return Buffer.concat([head, data]);
    };
    const header = Buffer.alloc(12);
    header.write('glTF', 0, 'ascii');
    header.writeUInt32LE(2, 4);
    header.writeUInt32LE(12 + 8 + text.length + 8 + bin.length, 8);
    return Buffer.concat([header, chunk('JSON', text), chunk('BIN\0', bin)]);
}

// A unit quaternion (x, y, z, w) turning `degrees` about `axis`.
export function turn(axis, degrees) {
    const h = degrees * Math.PI / 360;
    const n = Math.hypot(...axis);
    return [...axis.map((a) => a / n * Math.sin(h)), Math.cos(h)];
}
