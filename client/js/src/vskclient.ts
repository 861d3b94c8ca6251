// A client of the device server's HTTP API for browser tills and node programs: whole receipts
// with idempotency keys, the receipts ledger, health, and the daily operations (reports, cash,
// counters, clock, information, displays). Standard fetch only; no runtime dependencies.
//
// Members keep the server's JSON names exactly; money is in kopecks, as JSON integers.

export interface Discount {
    direction?: 0 | 1; // 0 takes the value off the line, 1 adds it as a surcharge
    value?: number;
    name?: string;
}

export interface ReceiptLine {
    name: string;
    quantity?: number; // thousandths when weighed
    price: number;
    weighed?: boolean | 0 | 1;
    tax1?: number; // 1 to 8 name the register's tax rates, 0 is no tax
    tax2?: number;
    article?: number;
    discount?: Discount;
}

export interface FreeText {
    text?: string;
    before?: boolean | 0 | 1;
    journal?: boolean | 0 | 1;
    bold?: boolean | 0 | 1;
}

export interface Payments {
    cash?: number;
    check?: number;
    credit?: number;
    packing?: number;
}

export interface Credentials {
    cashier?: string;
    password?: string;
}

export interface Receipt extends Credentials {
    department?: string;
    kind?: "sale" | "return";
    client?: string;
    returnNumber?: number;
    lines: ReceiptLine[];
    texts?: FreeText[];
    payments: Payments;
}

// A printed receipt. A key's answer settled after a crash has only number, total, end and
// recovered.
export interface ReceiptResult {
    number: number;
    total: number;
    onSaleTaxes?: number;
    includedTaxes?: number;
    returnTotal?: number;
    checkResult?: string;
    kind?: "sale" | "return";
    sum?: number;
    paid?: number;
    change?: number;
    port?: number;
    end?: string;
    recovered?: boolean;
}

// A row of the receipts ledger.
export interface LedgerReceipt {
    id: number;
    time: string;
    port: number;
    client: string;
    cashier: string;
    clientCashier: string;
    serial: string;
    kind: string;
    lines: unknown[];
    payments: Payments;
    number: number;
    numberBefore: number | null;
    total: number;
    end: string;
    error: string;
    endedAt: string;
    settledBy: string;
    settledAt: string;
}

export interface ReceiptsPage {
    receipts: LedgerReceipt[];
    next: string | null; // the page that follows, or null after the last
}

export interface ReceiptsQuery {
    port?: number;
    since?: string; // 2026-12-01 or 2026-12-01T08:00:00Z
    limit?: number; // 1 to 1000, 100 unless given
    after?: number; // the id of the last receipt of the page before
}

export interface LastReceipt {
    port: number;
    register: { number: number | null; reason?: string } | null;
    ledger: LedgerReceipt | null;
}

export interface PortHealth {
    port: number;
    open: boolean;
    model: string;
    serial: string;
    lastReply: string;
    answering: boolean;
    paper: string;
    lastError: string;
    clients: string[];
    lockHolder: string | null;
}

export interface Health {
    healthy: boolean;
    ports: PortHealth[];
    ledger?: { open: boolean; ok: boolean; failedWrites: number; lastError: string };
    unknownReceipts?: unknown[];
}

export interface Printed {
    printed: boolean;
}

export interface Shown {
    shown: boolean;
}

// Dates are YYYY-MM-DD; the register prints one form of the report, `full` false.
export type PeriodicReport =
    | { from: string; to: string; full?: boolean }
    | { fromZ: number; toZ: number; full?: boolean };

export interface CashMove {
    direction: "in" | "out";
    amount: number;
}

type CashCounter =
    | "rest"
    | "income"
    | "outcome"
    | "sales"
    | "returns"
    | "total"
    | "checkIncome"
    | "checkOutcome";

// The register's counters; a figure it did not give is null.
export interface Counters {
    lastReceipt: number;
    documents: {
        lastReceipt: number;
        lastDocument: number;
        lastServiceDocument: number;
        articleMode: number;
        fiscalReportMade: number;
        fiscalReportNumber: number;
        [name: string]: unknown;
    };
    cash: Record<CashCounter, number | null>;
    fiscal: {
        total: number | null;
        taxTotals: (number | null)[];
        untaxedTotal: number | null;
        returns: number | null;
        taxReturns: (number | null)[];
        untaxedReturns: number | null;
    };
}

export interface Clock {
    time: string | null; // the till's local time, YYYY-MM-DDTHH:MM:SS; null when unreadable
    raw?: string; // as the register answered it
}

// The printer information record.
export interface Info {
    model: string;
    protocolFamily: number;
    protocolLevel: number;
    serial: string;
    fiscalNumber: string;
    owner: string;
    date: string;
    time: string;
    keyPosition: string | null;
    firmware: { version: string; date: string };
    maxArticles: number;
    currency: { name: string; decimalPoint: number; date: string };
    taxes: {
        index: number;
        letter: string;
        kind: "included" | "onTop" | "withheld";
        rate: string; // as the register gives it
        date: string;
    }[];
    [name: string]: unknown;
}

export interface Display {
    lines: string[];
    external?: boolean;
}

export interface ClientOptions {
    baseUrl: string; // http://127.0.0.1:8080
    token?: string; // the server's TCP token: peers off the loopback, and other users on it
    // Printing bodies carry these unless they name their own; reads send them as headers when
    // the port is not bound.
    cashier?: string;
    password?: string;
    keyPrefix?: string; // leads every key this client makes ("till1-"): an operator reads it
    timeoutMs?: number; // per attempt; 60 s unless given (a receipt may wait for the lock)
    retries?: number; // further attempts of a request that is safe to repeat; 3 unless given
    retryDelayMs?: number; // before the first retry, doubling; 500 unless given
    fetch?: typeof fetch; // another fetch (tests, a proxy)
}

// Options of one printing request. `key` names its Idempotency-Key (one the till stored with
// the sale, to repeat it after a reload); null sends none, which makes the request print
// even while the server cannot keep keys, and makes it unsafe to repeat.
export interface PrintOptions {
    key?: string | null;
}

// A refusal of the server, or a request that got no answer. `code` is the server's word
// (BAD_RECEIPT, NOT_COVERED, SOFTUPAS, ...), or on this side NETWORK (no answer), TIMEOUT (no
// answer in time) or HTTP_<status> (an answer without the server's error body); `status` is
// 0 without an answer. `body` is the whole answer, with `end`, `step` and the like.
export class VskError extends Error {
    readonly code: string;
    readonly status: number;
    readonly field?: string;
    readonly body?: unknown;

    constructor(code: string, status: number, message: string, field?: string, body?: unknown) {
        super(message);
        this.name = "VskError";
        this.code = code;
        this.status = status;
        this.field = field;
        this.body = body;
    }

    // Whether the server answered at all: without an answer a printing request may have printed.
    get answered(): boolean {
        return this.status !== 0;
    }
}

// Words that say the same request may be sent again as it is: the key's first request is
// still running, or the server ended under it (the next start settles the key).
const kRepeatable = new Set(["IN_PROGRESS", "ENDING"]);

function randomHex(bytes: number): string {
    const buf = new Uint8Array(bytes);
    const c = (globalThis as { crypto?: { getRandomValues?(b: Uint8Array): Uint8Array } }).crypto;
    if (c && c.getRandomValues) {
        c.getRandomValues(buf);
    } else {
        for (let i = 0; i < bytes; ++i) buf[i] = Math.floor(Math.random() * 256);
    }
    return Array.from(buf, (b) => b.toString(16).padStart(2, "0")).join("");
}

// A header's value as the bytes of its UTF-8 form: fetch sends each character of a header as
// one byte, and a cashier's name is often Cyrillic.
function headerValue(text: string): string {
    return Array.from(new TextEncoder().encode(text), (b) => String.fromCharCode(b)).join("");
}

// The server's refusal: {"error": {"code", "message"[, "field"]}, ...}.
interface ErrorBody {
    error?: { code?: unknown; message?: unknown; field?: unknown };
}

interface Answer {
    status: number;
    body: unknown;
    replay: boolean;
}

interface ApiRequest {
    method: "GET" | "POST" | "PUT";
    path: string;
    body?: unknown;
    key?: string | null; // printing requests only
    read?: boolean; // a GET: sends the cashier's headers
}

function sleep(ms: number): Promise<void> {
    return new Promise((resolve) => setTimeout(resolve, ms));
}

// One sale and its idempotency key. send() may be called again after a failure: the same key
// goes with it, so the server prints the receipt once however often it is sent.
export class Sale {
    readonly port: number;
    readonly receipt: Receipt;
    readonly key: string | null;
    // Whether the last answer was the server's stored one (the key had printed already).
    replayed = false;
    private readonly client: VskClient;

    constructor(client: VskClient, port: number, receipt: Receipt, key: string | null) {
        this.client = client;
        this.port = port;
        this.receipt = receipt;
        this.key = key;
    }

    async send(): Promise<ReceiptResult> {
        const answer = await this.client.request({
            method: "POST",
            path: `/v1/ports/${this.port}/receipts`,
            body: this.client.withCredentials(this.receipt),
            key: this.key,
        });
        this.replayed = answer.replay;
        return answer.body as ReceiptResult;
    }
}

export class VskClient {
    private readonly options: ClientOptions;
    private readonly base: string;
    private readonly fetcher: typeof fetch;

    constructor(options: ClientOptions) {
        this.options = options;
        this.base = options.baseUrl.replace(/\/+$/, "");
        this.fetcher = options.fetch ?? ((input, init) => fetch(input, init));
    }

    // A new idempotency key: 32 random hexadecimal digits after the client's prefix.
    newKey(): string {
        return (this.options.keyPrefix ?? "") + randomHex(16);
    }

    // A sale with a key of its own (or the one given), not yet sent.
    sale(port: number, receipt: Receipt, options: PrintOptions = {}): Sale {
        const key = options.key === undefined ? this.newKey() : options.key;
        return new Sale(this, port, receipt, key);
    }

    // Sells a whole receipt: 200 exactly when the register closed it.
    receipt(port: number, receipt: Receipt, options: PrintOptions = {}): Promise<ReceiptResult> {
        return this.sale(port, receipt, options).send();
    }

    async receipts(query: ReceiptsQuery = {}): Promise<ReceiptsPage> {
        const params = new URLSearchParams();
        for (const [name, value] of Object.entries(query))
            if (value !== undefined) params.set(name, String(value));
        const text = params.toString();
        return (await this.get(`/v1/receipts${text ? "?" + text : ""}`)) as ReceiptsPage;
    }

    // Every receipt the query selects, page after page until `next` is null.
    async *allReceipts(query: ReceiptsQuery = {}): AsyncGenerator<LedgerReceipt> {
        let page = await this.receipts(query);
        for (;;) {
            yield* page.receipts;
            if (!page.next) return;
            page = (await this.get(page.next)) as ReceiptsPage;
        }
    }

    async lastReceipt(port: number): Promise<LastReceipt> {
        return (await this.get(`/v1/ports/${port}/last-receipt`)) as LastReceipt;
    }

    // The server's health, unhealthy (503) too: `healthy` tells which.
    async health(): Promise<Health> {
        try {
            return (await this.request({ method: "GET", path: "/v1/health" })).body as Health;
        } catch (e) {
            const body = e instanceof VskError ? (e.body as Health | undefined) : undefined;
            if (e instanceof VskError && e.status === 503 && typeof body?.healthy === "boolean")
                return body;
            throw e;
        }
    }

    reportX(port: number, options: PrintOptions = {}): Promise<Printed> {
        return this.print("POST", `/v1/ports/${port}/reports/x`, {}, options);
    }

    reportZ(port: number, options: PrintOptions = {}): Promise<Printed> {
        return this.print("POST", `/v1/ports/${port}/reports/z`, {}, options);
    }

    reportPeriodic(
        port: number,
        period: PeriodicReport,
        options: PrintOptions = {},
    ): Promise<Printed> {
        return this.print("POST", `/v1/ports/${port}/reports/periodic`, period, options);
    }

    cash(port: number, move: CashMove, options: PrintOptions = {}): Promise<Printed> {
        return this.print("POST", `/v1/ports/${port}/cash`, move, options);
    }

    async counters(port: number): Promise<Counters> {
        return (await this.get(`/v1/ports/${port}/counters`)) as Counters;
    }

    async clock(port: number): Promise<Clock> {
        return (await this.get(`/v1/ports/${port}/clock`)) as Clock;
    }

    setClock(port: number, time: string, options: PrintOptions = {}): Promise<Clock> {
        return this.print("PUT", `/v1/ports/${port}/clock`, { time }, options);
    }

    async info(port: number): Promise<Info> {
        return (await this.get(`/v1/ports/${port}/info`)) as Info;
    }

    displays(port: number, display: Display, options: PrintOptions = {}): Promise<Shown> {
        return this.print("POST", `/v1/ports/${port}/displays`, display, options);
    }

    // The body with the client's cashier and password where it names none.
    withCredentials<T extends object>(body: T): T & Credentials {
        const out: Credentials = {};
        if (this.options.cashier !== undefined) out.cashier = this.options.cashier;
        if (this.options.password !== undefined) out.password = this.options.password;
        return { ...out, ...body };
    }

    private async get(path: string): Promise<unknown> {
        return (await this.request({ method: "GET", path, read: true })).body;
    }

    private async print<T>(
        method: "POST" | "PUT",
        path: string,
        body: object,
        options: PrintOptions,
    ): Promise<T> {
        const key = options.key === undefined ? this.newKey() : options.key;
        const answer = await this.request({ method, path, body: this.withCredentials(body), key });
        return answer.body as T;
    }

    // Sends a request, again after a failure while that cannot do twice what the register may
    // have done: a read, or a printing request with its key (the server answers a repeat of a
    // finished one from its store). A printing request without a key is sent once.
    async request(req: ApiRequest): Promise<Answer> {
        const repeatable = req.method === "GET" || !!req.key;
        const retries = this.options.retries ?? 3;
        let delay = this.options.retryDelayMs ?? 500;
        for (let attempt = 0; ; ++attempt) {
            try {
                return await this.attempt(req);
            } catch (e) {
                const error = e instanceof VskError ? e : new VskError("NETWORK", 0, String(e));
                const again = error.status === 0 || kRepeatable.has(error.code);
                if (!repeatable || !again || attempt >= retries) throw error;
            }
            await sleep(delay);
            delay *= 2;
        }
    }

    private async attempt(req: ApiRequest): Promise<Answer> {
        const headers: Record<string, string> = { Accept: "application/json" };
        if (this.options.token) headers["Authorization"] = `Bearer ${this.options.token}`;
        if (req.key) headers["Idempotency-Key"] = req.key;
        if (req.read && this.options.cashier !== undefined)
            headers["X-Vsk-Cashier"] = headerValue(this.options.cashier);
        if (req.read && this.options.password !== undefined)
            headers["X-Vsk-Password"] = headerValue(this.options.password);
        let text: string | undefined;
        if (req.body !== undefined) {
            headers["Content-Type"] = "application/json";
            text = JSON.stringify(req.body);
        }
        // `next` links are paths of this server.
        const url = /^https?:\/\//.test(req.path) ? req.path : this.base + req.path;
        const abort = new AbortController();
        const timer = setTimeout(() => abort.abort(), this.options.timeoutMs ?? 60000);
        let response: Response;
        let raw: string;
        try {
            const init = { method: req.method, headers, body: text, signal: abort.signal };
            response = await this.fetcher(url, init);
            raw = await response.text();
        } catch (e) {
            if (abort.signal.aborted)
                throw new VskError("TIMEOUT", 0, `${req.method} ${req.path}: no answer in time`);
            throw new VskError("NETWORK", 0, `${req.method} ${req.path}: ${String(e)}`);
        } finally {
            clearTimeout(timer);
        }
        let body: unknown = undefined;
        try {
            body = raw ? JSON.parse(raw) : undefined;
        } catch {
            body = raw;
        }
        const replay = response.headers.get("Idempotent-Replay") === "true";
        if (response.status === 200)
            return { status: response.status, body, replay };
        const why = (body as ErrorBody | undefined)?.error;
        if (why && typeof why.code === "string")
            throw new VskError(
                why.code,
                response.status,
                typeof why.message === "string" ? why.message : why.code,
                typeof why.field === "string" ? why.field : undefined,
                body,
            );
        const what = `${req.method} ${req.path}: ${response.status}`;
        throw new VskError(`HTTP_${response.status}`, response.status, what, undefined, body);
    }
}
