-- Baseline (b) for qelsms-bench: wrk sends the library's exact request.
-- Arguments after "--": the file holding the JSON body to POST; none for a GET.
-- Prints one line "qelsms-bench {json}" that the driver reads.

function init(args)
  if args[1] then
    local file = assert(io.open(args[1], "rb"))
    wrk.method = "POST"
    wrk.body = file:read("*a")
    file:close()
    wrk.headers["Content-Type"] = "application/json"
  end
end

function done(summary, latency, requests)
  local e = summary.errors
  io.write(string.format(
    'qelsms-bench {"requests":%d,"seconds":%.6f,"errors":%d,"latencyP50Us":%d,"latencyP99Us":%d}\n',
    summary.requests, summary.duration / 1e6,
    e.connect + e.read + e.write + e.status + e.timeout,
    latency:percentile(50), latency:percentile(99)))
end
