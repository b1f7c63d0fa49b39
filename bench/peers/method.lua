-- Method calls on an object: a counter with one field and small methods. The loop body
-- makes eight calls so that the loop itself does not dominate; each iteration adds 2 in total.
local BENCH_N = 1000000

local Counter = {}
Counter.__index = Counter

function Counter.new(start)
  return setmetatable({ n = start }, Counter)
end

function Counter:inc() self.n = self.n + 1; return self.n end
function Counter:dec() self.n = self.n - 1; return self.n end
function Counter:add(k) self.n = self.n + k; return self.n end
function Counter:sub(k) self.n = self.n - k; return self.n end
function Counter:value() return self.n end

local start = os.clock()
local c = Counter.new(0)
for _ = 1, BENCH_N do
  c:inc()
  c:inc()
  c:dec()
  c:add(3)
  c:sub(2)
  c:inc()
  c:dec()
  c:value()
end
print("result: " .. c:value())
print(string.format("elapsed_ms: %.1f", (os.clock() - start) * 1000))
