// The deep synthetic assembly as a binary glTF file: N nodes in a balanced
// tree of fan-out 8, each turned and offset in its parent, a box on every one
// (one mesh shared by all). The same shape as the library's and the file
// layer's benchmarks use, so that their figures and these can be set side by side.

const kFanOut = 8;
const kHalf = Math.sqrt(0.5);
const kTurns = [[0, 0, 0, 1], [kHalf, 0, 0, kHalf], [0, 0, 0.3826834, 0.9238795], [0.1, 0.2, 0.3, 0.9273618]];

function boxBuffer(size) {
    const h = size / 2;
    const corners = [];
    for (let i = 0; i < 8; ++i) corners.push(i & 1 ? h : -h, i & 2 ? h : -h, i & 4 ? h : -h);
    // Two triangles per face, wound outwards.
    const faces = [[0, 2, 3, 1], [4, 5, 7, 6], [0, 1, 5, 4], [2, 6, 7, 3], [0, 4, 6, 2], [1, 3, 7, 5]];
    const indices = faces.flatMap(([a, b, c, d]) => [a, b, c, a, c, d]);
    const positions = Buffer.from(new Float32Array(corners).buffer);
    const index = Buffer.from(new Uint16Array(indices).buffer);
    return { positions, index, count: indices.length, h };
}

export function syntheticGlb(count) {
    const box = boxBuffer(0.6);
    const nodes = [];
    for (let i = 0; i < count; ++i) {
        nodes.push({ name: `n${i}`, mesh: 0, translation: [i % 1000, Math.floor(i / 1000) % 1000, 0], rotation: kTurns[i % 4] });
        if (i > 0) {
            const parent = nodes[Math.floor((i - 1) / kFanOut)];
            (parent.children ||= []).push(i);
        }
    }
    const bin = Buffer.concat([box.positions, box.index, Buffer.alloc((4 - box.index.length % 4) % 4)]);
    const json = {
        asset: { version: '2.0', generator: 'alignparts bench' },
        scene: 0,
        scenes: [{ nodes: [0] }],
        nodes,
        meshes: [{ primitives: [{ attributes: { POSITION: 0 }, indices: 1, material: 0 }] }],
        materials: [{ pbrMetallicRoughness: { baseColorFactor: [0.7, 0.72, 0.75, 1], metallicFactor: 0.1 } }],
        buffers: [{ byteLength: bin.length }],
        bufferViews: [
            { buffer: 0, byteOffset: 0, byteLength: box.positions.length, target: 34962 },
            { buffer: 0, byteOffset: box.positions.length, byteLength: box.index.length, target: 34963 },
        ],
        accessors: [
            { bufferView: 0, componentType: 5126, count: 8, type: 'VEC3', min: [-box.h, -box.h, -box.h], max: [box.h, box.h, box.h] },
            { bufferView: 1, componentType: 5123, count: box.count, type: 'SCALAR' },
        ],
    };
    let text = Buffer.from(JSON.stringify(json));
    text = Buffer.concat([text, Buffer.alloc((4 - text.length % 4) % 4, 0x20)]);
    const header = Buffer.alloc(12);
    header.write('glTF', 0, 'ascii');
    header.writeUInt32LE(2, 4);
    header.writeUInt32LE(12 + 8 + text.length + 8 + bin.length, 8);
    const chunk = (type, data) => {
        const head = Buffer.alloc(8);
        head.writeUInt32LE(data.length, 0);
        head.write(type, 4, 'ascii');
        return Buffer.concat([head, data]);
    };
    return Buffer.concat([header, chunk('JSON', text), chunk('BIN\0', bin)]);
}
