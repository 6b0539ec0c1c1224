-- wrk script for bench/rendezvous.sh: half lookups, half registrations
-- (refreshes once a name is known) of NAMES user names, all from one address.
local names = tonumber(os.getenv("FWP_BENCH_NAMES") or "1000")
local path = os.getenv("FWP_BENCH_PATH") or "/easy.cgi"
local counter = 0

function setup(thread)
    thread:set("seed", math.random(1, 1000000))
end

function init(args)
    math.randomseed(seed or 1)
end

function request()
    counter = counter + 1
    local n = math.random(names)
    if counter % 2 == 0 then
        return wrk.format("GET", path .. "?mode=get&user=user" .. n)
    end
    return wrk.format("GET", path .. "?mode=open&user=user" .. n .. "&port=" .. (4000 + n) ..
                      "&ip=192.0.2." .. (n % 250 + 1))
end

function done(summary, latency, requests)
    local seconds = summary.duration / 1e6
    io.write(string.format("result requests %d\n", summary.requests))
    io.write(string.format("result rps %.0f\n", summary.requests / seconds))
    for _, p in ipairs({50, 90, 99, 99.9}) do
        io.write(string.format("result p%s %.2f\n", p, latency:percentile(p) / 1000))
    end
    local e = summary.errors
    io.write(string.format("result errors %d\n", e.connect + e.read + e.write + e.timeout))
    io.write(string.format("result non2xx %d\n", e.status))
end
