# N-body simulation: the Sun and the four giant planets, advanced BENCH_N steps of 0.01 days
# with double arithmetic on parallel lists of positions, velocities and masses. The energy
# is printed before and after with nine decimals.
import math
import time

BENCH_N = 200000

PI = 3.141592653589793
SOLAR_MASS = 4 * PI * PI
DAYS_PER_YEAR = 365.24
BODIES = 5

x = [0.0, 4.84143144246472090e+00, 8.34336671824457987e+00, 1.28943695621391310e+01,
     1.53796971148509165e+01]
y = [0.0, -1.16032004402742839e+00, 4.12479856412430479e+00, -1.51111514016986312e+01,
     -2.59193146099879641e+01]
z = [0.0, -1.03622044471123109e-01, -4.03523417114321381e-01, -2.23307578892655734e-01,
     1.79258772950371181e-01]
vx = [0.0, 1.66007664274403694e-03, -2.76742510726862411e-03, 2.96460137564761618e-03,
      2.68067772490389322e-03]
vy = [0.0, 7.69901118419740425e-03, 4.99852801234917238e-03, 2.37847173959480950e-03,
      1.62824170038242295e-03]
vz = [0.0, -6.90460016972063023e-05, 2.30417297573763929e-05, -2.96589568540237556e-05,
      -9.51592254519715870e-05]
mass = [1.0, 9.54791938424326609e-04, 2.85885980666130812e-04, 4.36624404335156298e-05,
        5.15138902046611451e-05]
for i in range(BODIES):
    vx[i] = vx[i] * DAYS_PER_YEAR
    vy[i] = vy[i] * DAYS_PER_YEAR
    vz[i] = vz[i] * DAYS_PER_YEAR
    mass[i] = mass[i] * SOLAR_MASS


def offset_momentum():
    """Gives the Sun the momentum that cancels the planets' so the system's centre stays put."""
    px = py = pz = 0.0
    for i in range(BODIES):
        px = px + vx[i] * mass[i]
        py = py + vy[i] * mass[i]
        pz = pz + vz[i] * mass[i]
    vx[0] = -px / SOLAR_MASS
    vy[0] = -py / SOLAR_MASS
    vz[0] = -pz / SOLAR_MASS


def energy():
    e = 0.0
    for i in range(BODIES):
        e = e + 0.5 * mass[i] * (vx[i] * vx[i] + vy[i] * vy[i] + vz[i] * vz[i])
        for j in range(i + 1, BODIES):
            dx = x[i] - x[j]
            dy = y[i] - y[j]
            dz = z[i] - z[j]
            e = e - mass[i] * mass[j] / math.sqrt(dx * dx + dy * dy + dz * dz)
    return e


def advance(dt):
    for i in range(BODIES):
        for j in range(i + 1, BODIES):
            dx = x[i] - x[j]
            dy = y[i] - y[j]
            dz = z[i] - z[j]
            d2 = dx * dx + dy * dy + dz * dz
            mag = dt / (d2 * math.sqrt(d2))
            mi = mass[i] * mag
            mj = mass[j] * mag
            vx[i] = vx[i] - dx * mj
            vy[i] = vy[i] - dy * mj
            vz[i] = vz[i] - dz * mj
            vx[j] = vx[j] + dx * mi
            vy[j] = vy[j] + dy * mi
            vz[j] = vz[j] + dz * mi
    for i in range(BODIES):
        x[i] = x[i] + dt * vx[i]
        y[i] = y[i] + dt * vy[i]
        z[i] = z[i] + dt * vz[i]


start = time.perf_counter()
offset_momentum()
before = energy()
for _ in range(BENCH_N):
    advance(0.01)
after = energy()
print("result: %.9f %.9f" % (before, after))
print("elapsed_ms: %.1f" % ((time.perf_counter() - start) * 1000))
