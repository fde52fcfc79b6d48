#pragma once

// The simulator's plane geometry: small value types and the operations on
// them that the camera, the track and the pictures share. A rotation keeps
// its cosine and sine, worked out once and used for every point a frame
// moves between the floor and the robot.

#include <cmath>

namespace sim {

struct Vec2 {
    double x = 0.0;  // [m]
    double y = 0.0;  // [m]
};

inline Vec2 operator+(Vec2 a, Vec2 b) { return {a.x + b.x, a.y + b.y}; }
inline Vec2 operator-(Vec2 a, Vec2 b) { return {a.x - b.x, a.y - b.y}; }
inline Vec2 operator*(double k, Vec2 v) { return {k * v.x, k * v.y}; }
inline double dot(Vec2 a, Vec2 b) { return a.x * b.x + a.y * b.y; }
// > 0 where b lies counter-clockwise of a.
inline double cross(Vec2 a, Vec2 b) { return a.x * b.y - a.y * b.x; }
inline double length(Vec2 v) { return std::hypot(v.x, v.y); }
inline Vec2 midpoint(Vec2 a, Vec2 b) { return {(a.x + b.x) / 2, (a.y + b.y) / 2}; }
// The unit vector at `angle` [rad] from +x.
inline Vec2 unit(double angle) { return {std::cos(angle), std::sin(angle)}; }
// Turned a quarter turn clockwise: a direction of travel's right-hand side.
inline Vec2 right_of(Vec2 d) { return {d.y, -d.x}; }

// A rotation by its cosine and sine.
struct Rot {
    double c = 1.0;
    double s = 0.0;
};

inline Rot make_rot(double angle) { return {std::cos(angle), std::sin(angle)}; }
inline Vec2 rotate(Rot q, Vec2 v) { return {q.c * v.x - q.s * v.y, q.s * v.x + q.c * v.y}; }
inline Vec2 inv_rotate(Rot q, Vec2 v) { return {q.c * v.x + q.s * v.y, -q.s * v.x + q.c * v.y}; }

struct Pose {
    double x = 0.0;        // [m] axle centre
    double y = 0.0;        // [m]
    double heading = 0.0;  // [rad] 0 = +x, counter-clockwise
};

// A pose with its rotation worked out, to move points between the floor and
// the robot's frame (x ahead, y to the left).
struct Transform {
    Vec2 p;  // [m] the robot's origin on the floor
    Rot q;
};

inline Transform make_transform(const Pose& pose) { return {{pose.x, pose.y}, make_rot(pose.heading)}; }
inline Vec2 to_floor(const Transform& t, Vec2 v) {
    return {t.p.x + t.q.c * v.x - t.q.s * v.y, t.p.y + t.q.s * v.x + t.q.c * v.y};
}
inline Vec2 to_robot(const Transform& t, Vec2 p) { return inv_rotate(t.q, p - t.p); }

}  // namespace sim
