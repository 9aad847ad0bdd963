-- The mixed load of bench/soak: each wrk thread cycles through static
-- files, a range, PUT/GET/DELETE and PROPFIND under a Basic login, a
-- JavaScript page, a page with includes and a CGI program; with the argument
-- "proxy" it only fetches the upstream's file through the proxy port. Every
-- answer is checked: its status, and its body where it is one of the fixed
-- ones. done() prints "soak: requests N bad B errors E" for run.sh.
local threads = {}
local id_counter = 0

function setup(thread)
  id_counter = id_counter + 1
  thread:set("id", id_counter)
  table.insert(threads, thread)
end

local function slurp(path)
  local f = assert(io.open(path, "rb"))
  local s = f:read("*a")
  f:close()
  return s
end

-- bad and first_bad are globals: done() reads them from each thread.
local mode, auth, ok200, range_body, n, step, docs, minute, off
bad, first_bad = 0, nil
function init(args)
  mode = args[1] or "mix"
  docs = args[2]
  auth = "Basic " .. (args[3] or "")
  -- The minute's number in the names: the next minute writes new files
  -- while the server may still finish the last requests of this one.
  minute = args[4] or "0"
  -- Parts left out (OFF=put,delete... in run.sh), to tell which one grows.
  off = {}
  for part in (args[5] or ""):gmatch("[^,]+") do off[part] = true end
  bad, n, step = 0, 0, 0
  ok200 = {}
  for _, f in ipairs({ "f1k.txt", "dav/fixed.txt", "expected/hello", "expected/page", "expected/cgi", "expected/deleted" }) do
    ok200[slurp(docs .. "/" .. f)] = true
  end
  range_body = slurp(docs .. "/f64k.txt"):sub(1001, 2000)
end

local function dav(method, path, headers, body)
  headers = headers or {}
  headers["Authorization"] = auth
  return wrk.format(method, path, headers, body)
end

local propfind = '<?xml version="1.0"?><D:propfind xmlns:D="DAV:"><D:prop>' ..
  '<D:getcontentlength/><D:getlastmodified/></D:prop></D:propfind>'

function request()
  if mode == "proxy" then
    return wrk.format("GET", "/f1k.txt")
  end
  local names = { "static", "range", "put", "get", "delete", "propfind", "js", "ssi", "cgi" }
  repeat step = step % 9 + 1 until not off[names[step]]
  local id = wrk.thread:get("id")
  if step == 1 then
    return wrk.format("GET", "/f1k.txt")
  elseif step == 2 then
    return wrk.format("GET", "/f64k.txt", { Range = "bytes=1000-1999" })
  elseif step == 3 then
    n = n + 1
    return dav("PUT", "/dav/t" .. minute .. "_" .. id .. "_" .. n .. ".txt", {}, "soak " .. id .. " " .. n .. "\n")
  elseif step == 4 then
    return dav("GET", "/dav/fixed.txt")
  elseif step == 5 then
    -- Answered long ago: a thread has at most its connections in flight.
    if n > 1000 then return dav("DELETE", "/dav/t" .. minute .. "_" .. id .. "_" .. (n - 1000) .. ".txt") end
    return dav("GET", "/dav/fixed.txt")
  elseif step == 6 then
    return dav("PROPFIND", "/dav/col/", { Depth = "1", ["Content-Type"] = "application/xml" }, propfind)
  elseif step == 7 then
    return wrk.format("GET", "/hello.jss?soak")
  elseif step == 8 then
    return wrk.format("GET", "/page.shtml")
  else
    return wrk.format("GET", "/hello.cgi")
  end
end

function response(status, headers, body)
  local good
  if status == 200 then
    good = ok200[body] == true
  elseif status == 206 then
    good = body == range_body
  elseif status == 207 then
    good = body ~= nil and body:find("multistatus", 1, true) ~= nil
  else
    good = status == 201 or status == 204
  end
  if not good then
    bad = bad + 1
    if not first_bad then first_bad = status .. " " .. (body or ""):sub(1, 80):gsub("%s+", " ") end
  end
end

function done(summary, latency, requests)
  local b, first = 0, ""
  for _, t in ipairs(threads) do
    b = b + (t:get("bad") or 0)
    local f = t:get("first_bad")
    if f and first == "" then first = f end
  end
  local e = summary.errors
  io.write(string.format("soak: requests %d bad %d errors %d first %s\n", summary.requests, b,
    e.connect + e.read + e.write + e.timeout + e.status, first ~= "" and first or "-"))
  io.write(string.format("errors: connect %d read %d write %d timeout %d status %d\n",
    e.connect, e.read, e.write, e.timeout, e.status))
end
