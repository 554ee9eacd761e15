// Writes the benchmarks' deep synthetic assembly as a binary glTF file: N
// nodes in a balanced tree of fan-out 8 (node i's parent is (i - 1) / 8), each
// turned and offset in its parent and drawn with one shared triangle, as the
// deep scenes of alignparts-bench are built.
//
//   node make-deep.mjs N FILE.glb
import { writeFileSync } from 'node:fs';

const [count, path] = [Number(process.argv[2]), process.argv[3]];
if (!Number.isInteger(count) || count < 1 || !path) {
    console.error('usage: node make-deep.mjs N FILE.glb');
    process.exit(2);
}

const fanOut = 8;
const half = Math.sqrt(0.5);
const turns = [[0, 0, 0, 1], [half, 0, 0, half], [0, 0, 0.3826834, 0.9238795], [0.1, 0.2, 0.3, 0.9273618]];
const nodes = [];
for (let i = 0; i < count; ++i) {
    nodes.push({
        name: `n${i}`,
        mesh: 0,
        translation: [i % 1000, Math.floor(i / 1000) % 1000, 0],
        rotation: turns[i % 4],
    });
    if (i > 0) {
        const parent = nodes[Math.floor((i - 1) / fanOut)];
        (parent.children ??= []).push(i);
    }
}
const triangle = new Float32Array([0, 0, 0, 1, 0, 0, 0, 1, 0]);
const json = {
    asset: { version: '2.0', generator: 'qlalignparts bench/gltf-transform/make-deep.mjs' },
    scene: 0,
    scenes: [{ nodes: [0] }],
    nodes,
    meshes: [{ primitives: [{ attributes: { POSITION: 0 } }] }],
    accessors: [{ bufferView: 0, componentType: 5126, count: 3, type: 'VEC3', min: [0, 0, 0], max: [1, 1, 0] }],
    bufferViews: [{ buffer: 0, byteLength: triangle.byteLength }],
    buffers: [{ byteLength: triangle.byteLength }],
};

// A binary file: header, the JSON chunk padded with blanks, the BIN chunk.
let text = Buffer.from(JSON.stringify(json));
text = Buffer.concat([text, Buffer.alloc((4 - (text.length % 4)) % 4, 0x20)]);
const bin = Buffer.from(triangle.buffer);
const header = Buffer.alloc(12);
header.write('glTF', 0);
header.writeUInt32LE(2, 4);
header.writeUInt32LE(12 + 8 + text.length + 8 + bin.length, 8);
const chunk = (type, data) => {
    const head = Buffer.alloc(8);
    head.writeUInt32LE(data.length, 0);
    head.write(type, 4);
    return Buffer.concat([head, data]);
};
writeFileSync(path, Buffer.concat([header, chunk('JSON', text), chunk('BIN\0', bin)]));
