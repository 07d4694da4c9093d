// A broker with a WebSocket listener for the dashboard test (Debian's
// mosquitto has none): MQTT over TCP and over WebSockets, both on 127.0.0.1
// at ports the system picks. Prints {"tcp":N,"ws":M} once both listen.
import { createRequire } from 'node:module';
import { Aedes } from 'aedes';

const require = createRequire(import.meta.url);
const { createServer } = require('aedes-server-factory');

const broker = await Aedes.createBroker();
const tcp = createServer(broker);
const ws = createServer(broker, { ws: true });
const listen = (server) => new Promise((done) => server.listen(0, '127.0.0.1', () => done(server.address().port)));
const ports = { tcp: await listen(tcp), ws: await listen(ws) };
process.stdout.write(JSON.stringify(ports) + '\n');
const stop = () => { tcp.close(); ws.close(); broker.close(() => process.exit(0)); };
process.on('SIGTERM', stop);
process.on('SIGINT', stop);
